#include "ui/startup.h"

int RunKorvane(HINSTANCE)
{
    return 0;
}
