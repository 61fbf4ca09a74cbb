#pragma once
// The ping control on Windows: the system's ICMP API, one asynchronous request
// per echo with its own event and reply buffer, collected inside the pump.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "icmp/control_base.h"

namespace korvane {

class WindowsIcmpControl : public IcmpControlBase {
 public:
  WindowsIcmpControl();
  ~WindowsIcmpControl() override;
  WindowsIcmpControl(const WindowsIcmpControl&) = delete;
  WindowsIcmpControl& operator=(const WindowsIcmpControl&) = delete;

  void SendEcho(const std::string& address) override;
  void DeliverPendingEvents() override;

 private:
  struct Request;

  std::optional<std::uint32_t> ResolveName(const std::string& name) override;

  void* icmp_ = nullptr;  // the ICMP handle, or null when it could not be created
  std::vector<std::unique_ptr<Request>> outstanding_;
};

}  // namespace korvane
