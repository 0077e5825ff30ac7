// The end of the desktop session and termination signals: a running tunnel is stopped, and
// the engine's stop has returned, before the program lets go.
#pragma once

class Corvel_Web;

// Connects SIGTERM/SIGINT to the window's bridge, which stops the tunnel, waits for the stop
// and then quits the application; keeps the session manager's checkpoints from ending or
// hiding anything.
void installSessionEndHandling(Corvel_Web& window);
