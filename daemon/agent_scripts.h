// The three operations that change the system, each by running a script of the main bundle's
// resources with /bin/bash and writing one line about the outcome to standard output.
//
// All three run on the daemon's only thread, block until their script has ended (there is no
// time-out) and keep no state: the script and the console user are looked up afresh on every call.
// The child inherits the daemon's working directory, environment and standard streams, so what a
// script prints lands in the logs before the daemon's own line about it.
#pragma once

namespace tavrin {

// install_agent.sh with (script path, console user). Returns after one line.
void installAgent();

// uninstall_agent.sh with (script path, console user). Returns after one line.
void uninstallAgent();

// uninstall_daemon.sh with (script path). Returns, after "uninstall_daemon.sh is Not Found", only
// when the script is missing; otherwise writes its line and ends the process with status 0.
void uninstallDaemon();

}  // namespace tavrin
