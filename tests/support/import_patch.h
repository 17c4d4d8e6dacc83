// Replaces an import of this executable for a while: the program's
// code is linked into the tests and the benchmark, so its calls go through it.
#pragma once

#include <windows.h>

#include <cstring>

namespace ts {

// Replaces this executable's import of `function` from `module` while it lives.
class ImportPatch {
  public:
    ImportPatch(const char* function, void* replacement, const char* module = "kernel32.dll")
    {
        BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); entry->Name != 0;
             ++entry) {
            if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), module) != 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                    slot_ = reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
        if (slot_ != nullptr) {
            original_ = *slot_;
            Write(replacement);
        }
    }
    ~ImportPatch()
    {
        if (slot_ != nullptr)
            Write(original_);
    }
    bool Active() const { return slot_ != nullptr; }
    void* Original() const { return original_; }

  private:
    void Write(void* value)
    {
        DWORD old = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &old);
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), old, &old);
    }
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// While it lives, every volume claims sparse files, as NTFS does: Wine leaves
// FILE_SUPPORTS_SPARSE_FILES out of its volume flags, though a range skipped in a
// file on a Linux file system becomes a hole. One at a time.
class SparseFilesClaim {
  public:
    SparseFilesClaim() : patch_("GetVolumeInformationW", reinterpret_cast<void*>(&Claim)) { current_ = &patch_; }
    ~SparseFilesClaim() { current_ = nullptr; }
    bool Active() const { return patch_.Active(); }

  private:
    static BOOL WINAPI Claim(LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial, LPDWORD length, LPDWORD flags,
                             LPWSTR fileSystem, DWORD fileSystemSize)
    {
        const auto original = reinterpret_cast<decltype(&GetVolumeInformationW)>(current_->Original());
        const BOOL ok = original(root, name, nameSize, serial, length, flags, fileSystem, fileSystemSize);
        if (ok && flags != nullptr)
            *flags |= FILE_SUPPORTS_SPARSE_FILES;
        return ok;
    }
    static inline ImportPatch* current_ = nullptr;
    ImportPatch patch_;
};

} // namespace ts
