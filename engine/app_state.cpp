#include "engine/app_state.h"

#include <objbase.h>
#include <wbemidl.h>

AppState* g_App = nullptr;

AppState* CreateAppState()
{
    AppState* state = new AppState();
    InitializeCriticalSection(&state->Lock);
    return state;
}

void DestroyAppState(AppState* state)
{
    if (state == nullptr)
        return;
    if (state->TransferBuffer != nullptr) {
        VirtualFree(state->TransferBuffer, 0, MEM_RELEASE);
        state->TransferBuffer = nullptr;
    }
    if (state->WbemLocator != nullptr) {
        state->WbemLocator->Release();
        state->WbemLocator = nullptr;
    }
    if (state->WbemServices != nullptr) {
        state->WbemServices->Release();
        state->WbemServices = nullptr;
    }
    if (state->WbemObject != nullptr) {
        state->WbemObject->Release();
        state->WbemObject = nullptr;
    }
    // Balances InitWmi's CoInitialize; harmless when that never ran.
    CoUninitialize();
    DeleteCriticalSection(&state->Lock);
    state->DriveList.clear();
    state->DriveList.shrink_to_fit();
    delete state;
}
