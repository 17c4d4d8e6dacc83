// The program's version, included by the resource script and the code.
#pragma once

#define KORVANE_VERSION_MAJOR 0
#define KORVANE_VERSION_MINOR 9
#define KORVANE_VERSION_PATCH 1
#define KORVANE_VERSION_BUILD 0

#define KORVANE_VERSION_NUMBERS 0, 9, 1, 0
#define KORVANE_VERSION_STRING "0.9.1.0"
#define KORVANE_FILE_VERSION_STRING "0,9,1,0"
#define KORVANE_PRODUCT_NAME "Korvane"
