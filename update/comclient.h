// The utility's COM client layer: one interface pointer of the update-service agent together with
// the COM initialisation of the calling thread.
//
// Every CVelkComClient initialises COM on construction and uninitialises it once on destruction,
// so COM stays initialised exactly as long as some client lives (the agent client for one Run,
// the profile-manager client for one SendMachineInfo). The client does not create the object:
// its owner calls Create (CoCreateInstance with the class, context and interface) and a failed
// creation leaves `agent` null; each user decides what a missing agent means.
//
// Failed calls: Check raises tarn::platform::ComError for a negative status, carrying the status,
// the interface pointer, the interface identifier and the object's error description; statuses
// of 0 and above pass through for the caller to judge.
#pragma once

#include "platform/com.h"

template <typename T>
class CVelkComClient {
 public:
  CVelkComClient() : agent(nullptr) {
    tarn::platform::CoInitialize(nullptr);  // its status does not matter: the count is kept
  }
  virtual ~CVelkComClient() {
    if (agent != nullptr) {
      T* held = agent;
      agent = nullptr;
      held->Release();
    }
    tarn::platform::CoUninitialize();
  }
  CVelkComClient(const CVelkComClient&) = delete;
  CVelkComClient& operator=(const CVelkComClient&) = delete;

  // Creates the object into `agent` (releasing any previous one); returns the creation status,
  // which callers may ignore: `agent` is null when it failed.
  tarn::platform::HRESULT Create(const tarn::platform::CLSID& clsid, tarn::platform::DWORD context,
                                 const tarn::platform::IID& iid) {
    if (agent != nullptr) {
      T* held = agent;
      agent = nullptr;
      held->Release();
    }
    T* created = nullptr;
    const tarn::platform::HRESULT hr =
        tarn::platform::CoCreateInstance(clsid, nullptr, context, iid, reinterpret_cast<void**>(&created));
    agent = tarn::platform::SUCCEEDED(hr) ? created : nullptr;
    return hr;
  }

  // Raises the COM error when `status` (of a call through `agent`) is negative.
  tarn::platform::HRESULT Check(tarn::platform::HRESULT status, const tarn::platform::IID& iid) const {
    return tarn::platform::ComCheck(status, agent, iid);
  }

  T* agent;
};
