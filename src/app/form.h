#pragma once
// The checker's start-up object. It holds the ping control, receives the
// control's events, and starts the run. It has no window: nothing is ever shown.
#include "core/ping_control.h"
#include "core/run_state.h"

namespace korvane {

class frmKorvane : public PingEvents {
 public:
  frmKorvane(Platform& platform, PingControl& control);
  frmKorvane(const frmKorvane&) = delete;
  frmKorvane& operator=(const frmKorvane&) = delete;

  // Starts the run; it ends the program and never returns.
  [[noreturn]] void Form_Load();

  void pingClient_Response(const std::string& sourceAddress, std::int32_t roundTripMs);
  void pingClient_Error();

  modKorvane& Run() { return run_; }

 private:
  void OnError() override;
  void OnResponse(const std::string& sourceAddress, std::int32_t roundTripMs) override;

  PingControl& pingClient;
  modKorvane run_;
};

}  // namespace korvane
