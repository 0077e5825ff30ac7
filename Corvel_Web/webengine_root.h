// The web view's sandbox cannot run for root: the program switches it off for itself.
#pragma once

// When the process runs as root, tells Qt WebEngine to run without its sandbox; before the
// application object exists. Returns whether it did.
bool prepareWebEngineForRoot();
// Logs the decision once, once the client log is installed.
void logWebEngineRootDecision();
