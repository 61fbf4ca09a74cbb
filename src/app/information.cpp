#include "app/information.h"

namespace korvane {

std::optional<std::string> InformationText(std::string_view arguments, std::string_view version) {
  // Trailing separators set no field; cmd.exe leaves a blank before a redirect.
  while (!arguments.empty() && (arguments.back() == ' ' || arguments.back() == '\t'))
    arguments.remove_suffix(1);
  if (arguments == "--version" || arguments == "-V") return "korvane " + std::string(version) + "\n";
  if (arguments != "--help" && arguments != "-h") return std::nullopt;
  return "Usage: korvane THRESHOLD [HOST1 ... HOST10]\n"
         "Pings the hosts one after another and prints nothing.\n"
         "Exit status: 100 when at least THRESHOLD hosts answered; 0 when fewer did,\n"
         "when no host was named, or when the arguments were wrong.\n"
         "A wrong set-up (an argument error, no host or ignored hosts, a threshold\n"
         "that decides the verdict alone, no permission to ping, a host name that\n"
         "does not exist, a link-local address without a zone, a KORVANE_TRACE file\n"
         "it cannot use) is reported on standard error, as is a trace file that\n"
         "cannot be written. With the environment variable KORVANE_SETUP_STATUS set\n"
         "to 1..255 (not 100), a wrong set-up ends with that status, not 0 or 100.\n"
         "Trace: when the file pingdebug.txt beside the executable, or the file named\n"
         "by the environment variable KORVANE_TRACE, exists, a time-stamped trace is\n"
         "appended to it; KORVANE_TRACE=- writes it to standard error.\n"
         "korvane --help (-h) | --version (-V): this text, or the version.\n"
         "More: man korvane (Linux), INSTALL.txt (Windows).\n";
}

}  // namespace korvane
