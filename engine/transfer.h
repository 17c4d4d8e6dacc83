// The two transfer loops: drive to image file and image file to drive.
#pragma once

// Both run on the job thread with DiskHandle and ImageHandle of g_App open.
// True only when every byte arrived; every failure has been shown already.
bool CreateImage();
bool RestoreImage();
