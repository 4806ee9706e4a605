// A minimal in-process COM server for the COM tests: one class whose objects add numbers and fail
// on request, filling the thread's error information for their own interface only.
#include <atomic>

#include "com_test_server.h"

namespace tp = tarn::platform;

namespace {
std::atomic<long> g_liveObjects {0};

class Calculator final : public ITestCalculator, public tp::ISupportErrorInfo {
 public:
  Calculator() { ++g_liveObjects; }

  tp::HRESULT QueryInterface(tp::REFIID iid, void** object) override {
    if (object == nullptr) return tp::E_POINTER;
    if (iid == tp::IID_IUnknown || iid == IID_ITestCalculator) {
      *object = static_cast<ITestCalculator*>(this);
    } else if (iid == tp::IID_ISupportErrorInfo) {
      *object = static_cast<tp::ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return tp::E_NOINTERFACE;
    }
    AddRef();
    return tp::S_OK;
  }
  tp::ULONG AddRef() override { return ++refs_; }
  tp::ULONG Release() override {
    const tp::ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  tp::HRESULT Add(tp::LONG value, tp::LONG* total) override {
    total_ += value;
    if (total != nullptr) *total = total_;
    return tp::S_OK;
  }
  tp::HRESULT Fail(tp::HRESULT status, tp::LPCOLESTR description) override {
    if (description != nullptr) {
      tp::ICreateErrorInfo* create = nullptr;
      if (tp::CreateErrorInfo(&create) == tp::S_OK) {
        create->SetGUID(IID_ITestCalculator);
        create->SetDescription(description);
        tp::IErrorInfo* info = nullptr;
        if (create->QueryInterface(tp::IID_IErrorInfo, reinterpret_cast<void**>(&info)) == tp::S_OK) {
          tp::SetErrorInfo(0, info);
          info->Release();
        }
        create->Release();
      }
    }
    return status;
  }

  tp::HRESULT InterfaceSupportsErrorInfo(tp::REFIID iid) override {
    return iid == IID_ITestCalculator ? tp::S_OK : tp::S_FALSE;
  }

 private:
  ~Calculator() { --g_liveObjects; }
  std::atomic<tp::ULONG> refs_ {1};
  tp::LONG total_ = 0;
};

class Factory final : public tp::IClassFactory {
 public:
  tp::HRESULT QueryInterface(tp::REFIID iid, void** object) override {
    if (object == nullptr) return tp::E_POINTER;
    if (iid == tp::IID_IUnknown || iid == tp::IID_IClassFactory) {
      *object = static_cast<tp::IClassFactory*>(this);
      return tp::S_OK;
    }
    *object = nullptr;
    return tp::E_NOINTERFACE;
  }
  tp::ULONG AddRef() override { return 2; }  // a static object: never deleted
  tp::ULONG Release() override { return 1; }
  tp::HRESULT CreateInstance(tp::IUnknown* outer, tp::REFIID iid, void** object) override {
    if (object == nullptr) return tp::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return tp::CLASS_E_NOAGGREGATION;
    auto* calculator = new Calculator();
    const tp::HRESULT hr = calculator->QueryInterface(iid, object);
    calculator->Release();
    return hr;
  }
  tp::HRESULT LockServer(tp::BOOL) override { return tp::S_OK; }
};

Factory g_factory;
}  // namespace

extern "C" __attribute__((visibility("default"))) tp::HRESULT DllGetClassObject(tp::REFCLSID clsid,
                                                                                tp::REFIID iid,
                                                                                void** object) {
  if (object == nullptr) return tp::E_POINTER;
  *object = nullptr;
  if (!(clsid == CLSID_TestCalculator)) return tp::CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) long TestServerLiveObjects() {
  return g_liveObjects.load();
}
