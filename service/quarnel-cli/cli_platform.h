// What the command-line client needs from the operating system.
#pragma once

#include <string>

// This machine's identifier ("" when there is none).
std::string machine_id();
// Local time of day, HH:MM:SS.
std::string clock_text();
// From now on a stop request (Ctrl+C, SIGTERM, closing the console) only ends wait_for_stop;
// called before the engine starts its threads.
void catch_stop_requests();
// Waits up to the seconds given; true when a stop was requested.
bool wait_for_stop(int seconds);
