// The web view's sandbox cannot run for root: the program switches it off for itself. Any other
// user keeps it.
#pragma once

// When the process runs as root, tells Qt WebEngine to run without its sandbox; before the
// application object exists. Returns whether it did.
bool prepareWebEngineForRoot();
// Logs once, once the client log is installed, whether the web view runs in its sandbox.
void logWebEngineSandbox();
