// What both benchmark programs share: the process's processor time, and a
// watchdog that closes the message boxes a failed run leaves open.
#pragma once

#include <windows.h>

// User and kernel time of this process so far, in seconds.
double CpuSeconds();
// Thread procedure: every half second closes the boxes owned by g_App's main
// window, printing their texts to stderr. Runs until the process ends.
DWORD WINAPI CloseFailureBoxes(void* unused);
