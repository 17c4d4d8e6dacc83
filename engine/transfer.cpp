// Placeholder until the transfer loops land.
#include "engine/transfer.h"

bool CreateImage()
{
    return false;
}

bool RestoreImage()
{
    return false;
}
