// The platform's steps of installing the virtual network driver, in the order the start-up
// dialog runs them. isTapDriverInstalled() (driver_provisioning.h) is the platform's check.
// On Linux a program without root has the engine service check and make the device.
#pragma once

// Whether this system can have the driver at all.
bool tunDriverSupported();
// Puts in place what the installation needs (the device node); false when it cannot.
bool prepareTunDriverInstall();
// Runs the installation (loading the kernel module); false when it could not be run or
// crashed. Its own result is left to the check that follows.
bool runTunDriverInstall();
