// A root web view takes nothing from whoever started it: not the command line, not the toolkit's
// settings in the environment. Its sandbox cannot run for root: the program switches it off for
// itself. Any other user keeps all three.
#pragma once

// The argument count the toolkit and the web engine may see: all of them, or for root the
// program's name alone. Before the application object exists.
int toolkitArgumentCount(int argc, char** argv);
// When the process runs as root, clears the toolkit's settings from the environment but for the
// display's, and tells Qt WebEngine to run without its sandbox; before the application object
// exists. Returns whether it did.
bool prepareWebEngineForRoot();
// Logs once, once the client log is installed, whether the web view runs in its sandbox and what
// root ignored.
void logWebEngineSandbox();
