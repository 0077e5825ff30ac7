// The end of the desktop session and termination signals: a running tunnel is stopped, and
// the engine's stop has returned, before the program lets go.
#pragma once

class Corvel_Web;

// Connects the session manager's commit-data request and SIGTERM/SIGINT to the window's
// bridge; each stops the tunnel, waits for the stop and then quits the application.
void installSessionEndHandling(Corvel_Web& window);
