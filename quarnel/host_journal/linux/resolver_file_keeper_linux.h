// Ends the watch that keep_resolver_file started; nothing when none runs.
#pragma once

void stop_keeping_resolver_file();
