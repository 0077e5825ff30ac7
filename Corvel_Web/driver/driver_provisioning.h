// The virtual network driver the engine needs: checked at start-up, offered when missing.
#pragma once

// True when the driver works: the device node exists and an interface can be created.
bool isTapDriverInstalled();
// The start-up step: returns whether start-up may go on (false: exit code 1).
bool provisionTapDriver();
