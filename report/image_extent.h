// What a create's image holds of the drive, as its outcome tells it.
#pragma once

#include <string>

struct AppState;

// "\nIt holds the partitions: N of M Bytes." or "\nIt holds the whole disk: <why>." after
// a create of the partitions only; empty when they weren't asked for.
std::wstring ImageExtentLine(const AppState& app);
