// The interface of the COM tests' in-process server (com_test_server.cpp).
#pragma once

#include "platform/com.h"

inline constexpr tarn::platform::CLSID CLSID_TestCalculator = {
    0x5A1C0DE1, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
inline constexpr tarn::platform::IID IID_ITestCalculator = {
    0x5A1C0DE2, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};

struct ITestCalculator : tarn::platform::IUnknown {
  // Adds `value` to the object's running total and reports the total.
  virtual tarn::platform::HRESULT Add(tarn::platform::LONG value, tarn::platform::LONG* total) = 0;
  // Returns `status`; with a description, first fills the thread's error information.
  virtual tarn::platform::HRESULT Fail(tarn::platform::HRESULT status,
                                       tarn::platform::LPCOLESTR description) = 0;

 protected:
  ~ITestCalculator() = default;
};
