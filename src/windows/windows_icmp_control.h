#pragma once
// The ping control on Windows: the system's ICMP API, one asynchronous request
// per echo with its own event and reply buffer, collected inside the pump.
// Only the request waited for now raises an event; the others finish unheard.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "icmp/control_base.h"

namespace korvane {

class WindowsIcmpControl : public IcmpControlBase {
 public:
  explicit WindowsIcmpControl(Platform& platform);
  ~WindowsIcmpControl() override;
  WindowsIcmpControl(const WindowsIcmpControl&) = delete;
  WindowsIcmpControl& operator=(const WindowsIcmpControl&) = delete;

  void SendEcho(const std::string& address) override;
  std::vector<std::intptr_t> WaitObjects() const override;
  bool DeliverPendingEvents() override;

 private:
  struct Request;

  NameLookup ResolveName(const std::string& name) override;
  // Sends a request to the address and makes it the current one; the reason
  // when it cannot be sent.
  const char* Send(const IpAddress& address, std::int64_t deadlineNs);
  void ForgetCurrentRequest() override { current_ = nullptr; }

  // The ICMP and ICMPv6 handles, or null when they could not be created.
  void* icmp_ = nullptr;
  void* icmp6_ = nullptr;
  // Why they could not be, for the administrator.
  std::string icmpFailure_;
  std::string icmp6Failure_;
  // WSAStartup's error; 0 when Windows Sockets started.
  int socketsError_ = 0;
  // Every request the system has not finished with: its reply buffer must
  // live until then. Only the current one's outcome is raised as an event.
  std::vector<std::unique_ptr<Request>> outstanding_;
  const Request* current_ = nullptr;
};

}  // namespace korvane
