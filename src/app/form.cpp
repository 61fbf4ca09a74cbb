#include "app/form.h"

#include "app/run_checks.h"
#include "core/runtime_error.h"

namespace korvane {

frmKorvane::frmKorvane(Platform& platform, PingControl& control)
    : pingClient(control), run_(platform, control) {
  pingClient.Connect(this);
}

void frmKorvane::Form_Load() { RunChecks(run_); }

// An event handler's failure stays inside the handler: it must never reach
// the probe that happens to be pumping.
void frmKorvane::OnError() {
  try {
    pingClient_Error();
  } catch (const RuntimeError&) {
  }
}

void frmKorvane::OnResponse(const std::string& sourceAddress, std::int32_t roundTripMs) {
  try {
    pingClient_Response(sourceAddress, roundTripMs);
  } catch (const RuntimeError&) {
  }
}

}  // namespace korvane
