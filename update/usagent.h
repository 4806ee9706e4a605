// The update-service agent's COM interfaces, as the utility calls them.
//
// The agent is an outside in-process server; these declarations fix what the utility passes and
// relies on: class and interface identifiers, and each operation at its slot of the interface's
// method table (counted from 0, IUnknown's three methods first). The agent's other methods are
// not called by the utility; their slots are kept so that the named ones land where the agent
// has them, and an object that does not override one answers E_NOTIMPL.
//
// Every operation returns a COM status. Texts are COM strings (BSTR); "code" is the product's
// update-service code.
//
//   IUSAgent6      17 SetProductSchedule (code, schedule)             negative status: failure
//                  18 RegisterProduct    (code, version, locale, "", "Default", -1, "")
//                  19 UnregisterProduct  (code, "Default", -1)
//                  20 GetProduct         (code, out product object, may be null)
//                  22 ShowProductUpdates (code, 8)                    0: success, else failure
//   IUSProduct6     7 GetStatus          (out status)                 greater than 0: success
//   IProfileMgr6    8 SetCollectionProperty (code, collection, property, value)
//                  10 AddCollection      (code, collection)
//                  12 SaveProfile        (code)
#pragma once

#include "platform/com.h"

namespace velk {

using tarn::platform::BSTR;
using tarn::platform::CLSID;
using tarn::platform::HRESULT;
using tarn::platform::IID;
using tarn::platform::IUnknown;
using tarn::platform::LONG;

inline constexpr CLSID CLSID_USAgent = {
    0xB906071E, 0x9281, 0x44B9, {0xBB, 0xDB, 0x98, 0x89, 0x30, 0x81, 0xD2, 0x22}};
inline constexpr IID IID_IUSAgent6 = {
    0xF2EE57D6, 0x8EFA, 0x4807, {0xA2, 0x6A, 0x3E, 0x1C, 0xA1, 0x90, 0x40, 0xB4}};
inline constexpr CLSID CLSID_ProfileMgr = {
    0x548E275F, 0x0290, 0x40E7, {0xB4, 0x54, 0x73, 0x8B, 0x0C, 0x61, 0xDE, 0x60}};
inline constexpr IID IID_IProfileMgr6 = {
    0xC78E94E1, 0xF309, 0x422E, {0xB2, 0x2E, 0x25, 0xD8, 0x66, 0xF1, 0x26, 0xAA}};
// The product object handed out by GetProduct.
inline constexpr IID IID_IUSProduct6 = {
    0xF39F6C68, 0x283A, 0x41F3, {0xB6, 0x30, 0x4E, 0x47, 0x7B, 0x64, 0xC4, 0x17}};

// Creation contexts: the agent with all server contexts, the profile manager in-process or as a
// local server.
inline constexpr tarn::platform::DWORD kAgentContext = tarn::platform::CLSCTX_SERVER;
inline constexpr tarn::platform::DWORD kProfileManagerContext =
    tarn::platform::CLSCTX_INPROC_SERVER | tarn::platform::CLSCTX_LOCAL_SERVER;

#define VELK_UNUSED_SLOT(n) \
  virtual HRESULT Slot##n() { return tarn::platform::E_NOTIMPL; }

struct IUSProduct6 : IUnknown {
  VELK_UNUSED_SLOT(3)
  VELK_UNUSED_SLOT(4)
  VELK_UNUSED_SLOT(5)
  VELK_UNUSED_SLOT(6)
  virtual HRESULT GetStatus(LONG* status) = 0;  // slot 7

 protected:
  ~IUSProduct6() = default;
};

struct IUSAgent6 : IUnknown {
  VELK_UNUSED_SLOT(3)
  VELK_UNUSED_SLOT(4)
  VELK_UNUSED_SLOT(5)
  VELK_UNUSED_SLOT(6)
  VELK_UNUSED_SLOT(7)
  VELK_UNUSED_SLOT(8)
  VELK_UNUSED_SLOT(9)
  VELK_UNUSED_SLOT(10)
  VELK_UNUSED_SLOT(11)
  VELK_UNUSED_SLOT(12)
  VELK_UNUSED_SLOT(13)
  VELK_UNUSED_SLOT(14)
  VELK_UNUSED_SLOT(15)
  VELK_UNUSED_SLOT(16)
  virtual HRESULT SetProductSchedule(BSTR code, LONG schedule) = 0;  // slot 17
  virtual HRESULT RegisterProduct(BSTR code, BSTR version, LONG locale, BSTR reserved1,
                                  BSTR profile, LONG flags, BSTR reserved2) = 0;  // slot 18
  virtual HRESULT UnregisterProduct(BSTR code, BSTR profile, LONG flags) = 0;    // slot 19
  virtual HRESULT GetProduct(BSTR code, IUSProduct6** product) = 0;              // slot 20
  VELK_UNUSED_SLOT(21)
  virtual HRESULT ShowProductUpdates(BSTR code, LONG mode) = 0;  // slot 22

 protected:
  ~IUSAgent6() = default;
};

struct IProfileMgr6 : IUnknown {
  VELK_UNUSED_SLOT(3)
  VELK_UNUSED_SLOT(4)
  VELK_UNUSED_SLOT(5)
  VELK_UNUSED_SLOT(6)
  VELK_UNUSED_SLOT(7)
  virtual HRESULT SetCollectionProperty(BSTR code, BSTR collection, BSTR property,
                                        BSTR value) = 0;  // slot 8
  VELK_UNUSED_SLOT(9)
  virtual HRESULT AddCollection(BSTR code, BSTR collection) = 0;  // slot 10
  VELK_UNUSED_SLOT(11)
  virtual HRESULT SaveProfile(BSTR code) = 0;  // slot 12

 protected:
  ~IProfileMgr6() = default;
};

#undef VELK_UNUSED_SLOT

}  // namespace velk
