// A create of the partitions only: the plan made from the open drive's own table.
#pragma once

#include <cstdint>

struct AppState;

// Reads the partition table of the drive open in app.DiskHandle and sets app.Plan to
// image the drive only as far as its partitions reach (see PlanPartitionsImage), or
// leaves it empty and sets app.ImagedWhole to why the whole drive is imaged.
// Only reads the drive. Runs on the job thread.
void PlanPartitionsOnly(AppState& app);

// The image's bytes a create by app.Plan writes: the drive's size without a plan.
int64_t PlannedCreateBytes(const AppState& app);
