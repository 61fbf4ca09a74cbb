#pragma once
// One fresh run of the checker on the simulated platform with a scripted control.
#include <gtest/gtest.h>

#include "app/form.h"
#include "scripted_ping_control.h"
#include "simulated_platform.h"

namespace korvane::testing {

struct Harness {
  SimulatedPlatform platform;
  ScriptedPingControl control{platform};
  frmKorvane form{platform, control};
  modKorvane& run = form.Run();

  // Runs the whole program; returns its exit status.
  int RunProgram(const std::string& commandLine) {
    platform.SetCommandLine(commandLine);
    try {
      form.Form_Load();
    } catch (const ProgramEnded& ended) {
      return ended.exitStatus;
    }
  }
};

}  // namespace korvane::testing
