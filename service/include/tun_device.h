// The kernel's TUN device as the engine needs it: whether it works, and making it work. For the
// service, and for the client program when it runs as root.
#pragma once

// The device node exists and an interface can be made with it.
bool tun_device_works();
// Makes the device node (/dev/net/tun) when it is missing; 0 or an errno.
int make_tun_device_node();
