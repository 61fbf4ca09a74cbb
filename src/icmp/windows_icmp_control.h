#pragma once
// The ping control on Windows: the system's ICMP API, one asynchronous request
// per echo with its own event and reply buffer, collected inside the pump.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "probe/ping_control.h"

namespace korvane {

class WindowsIcmpControl : public PingControl {
 public:
  WindowsIcmpControl();
  ~WindowsIcmpControl() override;
  WindowsIcmpControl(const WindowsIcmpControl&) = delete;
  WindowsIcmpControl& operator=(const WindowsIcmpControl&) = delete;

  void Connect(PingEvents* sink) override { sink_ = sink; }
  void SetTarget(const std::string& hostText) override;
  std::string Target() override { return target_; }
  void SendEcho(const std::string& address) override;
  void DeliverPendingEvents() override;

 private:
  struct Request;

  [[noreturn]] void FailSend(const char* why);

  void* icmp_ = nullptr;  // the ICMP handle, or null when it could not be created
  std::vector<std::unique_ptr<Request>> outstanding_;
  std::string target_;
  int errorsToReport_ = 0;
  PingEvents* sink_ = nullptr;
};

}  // namespace korvane
