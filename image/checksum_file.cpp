#include "image/checksum_file.h"

#include <cstdint>
#include <cstring>
#include <cwctype>
#include <vector>

#include "engine/app_state.h"
#include "image/image_replace.h"
#include "report/error_box.h"

namespace {

// Checksum lists larger than this are no lists of a few images.
const DWORD kLargestChecksumFile = 16u << 20;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseDigest(const std::string& line, BYTE digest[kSha256Size])
{
    if (line.size() < 2 * kSha256Size)
        return false;
    for (size_t i = 0; i < kSha256Size; ++i) {
        const int high = HexValue(line[2 * i]), low = HexValue(line[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<BYTE>(high * 16 + low);
    }
    return true;
}

// The name as the file holds it: UTF-8 where it is valid, else the system's code page.
std::wstring DecodeName(const std::string& bytes)
{
    for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int length =
            MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (length <= 0)
            continue;
        std::wstring name(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), &name[0], length);
        return name;
    }
    return std::wstring();
}

// sha256sum starts a line with a backslash when it escapes the name's backslashes and line feeds.
std::string Unescape(const std::string& name)
{
    std::string plain;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) {
            ++i;
            plain += name[i] == 'n' ? '\n' : name[i];
        } else {
            plain += name[i];
        }
    }
    return plain;
}

bool StartsWith(const std::string& line, const char* prefix)
{
    return line.compare(0, strlen(prefix), prefix) == 0;
}

// True when the line holds the name anywhere, compared without case.
bool MentionsName(const std::string& line, const std::wstring& name)
{
    std::wstring text = DecodeName(line), lowerName = name;
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    for (wchar_t& c : lowerName)
        c = static_cast<wchar_t>(towlower(c));
    return !lowerName.empty() && text.find(lowerName) != std::wstring::npos;
}

bool SameName(std::wstring listed, const std::wstring& name)
{
    if (listed.compare(0, 2, L"./") == 0 || listed.compare(0, 2, L".\\") == 0)
        listed.erase(0, 2);
    return lstrcmpiW(listed.c_str(), name.c_str()) == 0;
}

enum class ReadResult { Read, Missing, Failed };

ReadResult ReadSmallFile(const std::wstring& path, std::string* text)
{
    const HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                              : ReadResult::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    bool ok =
        GetFileInformationByHandle(file, &info) && info.nFileSizeHigh == 0 && info.nFileSizeLow <= kLargestChecksumFile;
    if (ok) {
        std::vector<char> bytes(static_cast<size_t>(info.nFileSizeLow) + 1);
        DWORD got = 0;
        ok = ReadFile(file, bytes.data(), info.nFileSizeLow, &got, nullptr) && got == info.nFileSizeLow;
        text->assign(bytes.data(), got);
    }
    CloseHandle(file);
    return ok ? ReadResult::Read : ReadResult::Failed;
}

} // namespace

ChecksumEntry FindChecksumEntry(const std::string& text, const std::wstring& name, bool namedAfterImage,
                                BYTE digest[kSha256Size])
{
    bool malformed = false;
    int entries = 0;
    enum class Armour { None, Header, Signature } armour = Armour::None;
    BYTE only[kSha256Size] = {};
    size_t start = 0;
    // A byte order mark, as some Windows editors write, is no part of the first line.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line[line.size() - 1] == '\r')
            line.erase(line.size() - 1);
        // A list signed in the clear: the armour's header lines up to the first blank
        // line and the signature block are no entries.
        if (StartsWith(line, "-----BEGIN PGP SIGNED MESSAGE-----")) {
            armour = Armour::Header;
            continue;
        }
        if (armour == Armour::Header) {
            if (line.find_first_not_of(" \t") == std::string::npos)
                armour = Armour::None;
            continue;
        }
        if (StartsWith(line, "-----BEGIN PGP SIGNATURE-----"))
            armour = Armour::Signature;
        if (armour == Armour::Signature) {
            if (StartsWith(line, "-----END PGP SIGNATURE-----"))
                armour = Armour::None;
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        const bool escaped = line[0] == '\\';
        if (escaped)
            line.erase(0, 1);
        BYTE listed[kSha256Size];
        const size_t digits = 2 * kSha256Size;
        const bool bare = line.size() == digits;
        if (!ParseDigest(line, listed) || (!bare && (line.size() < digits + 3 || line[digits] != ' ' ||
                                                     (line[digits + 1] != ' ' && line[digits + 1] != '*')))) {
            // A list of many files may hold lines of other forms; only one about the image matters.
            malformed = malformed || namedAfterImage || MentionsName(line, name);
            continue;
        }
        ++entries;
        memcpy(only, listed, sizeof(only));
        const std::string raw = bare ? std::string() : line.substr(digits + 2);
        if (!bare && SameName(DecodeName(escaped ? Unescape(raw) : raw), name)) {
            memcpy(digest, listed, kSha256Size);
            return ChecksumEntry::Listed;
        }
    }
    if (malformed)
        return ChecksumEntry::Malformed;
    if (namedAfterImage && entries == 1) {
        memcpy(digest, only, kSha256Size);
        return ChecksumEntry::Listed;
    }
    return ChecksumEntry::NotListed;
}

std::wstring FileNamePart(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

ChecksumLookup LookUpImageChecksum(const std::wstring& imagePath, BYTE digest[kSha256Size], std::wstring* file)
{
    const std::wstring name = FileNamePart(imagePath);
    const std::wstring folder = imagePath.substr(0, imagePath.size() - name.size());
    const std::wstring candidates[] = {imagePath + L".sha256", imagePath + L".sha256sum", folder + L"SHA256SUMS"};
    for (size_t i = 0; i < 3; ++i) {
        const bool namedAfterImage = i < 2;
        std::string text;
        const ReadResult read = ReadSmallFile(candidates[i], &text);
        if (read == ReadResult::Missing)
            continue;
        *file = candidates[i];
        if (read == ReadResult::Failed)
            return ChecksumLookup::Unreadable;
        const ChecksumEntry entry = FindChecksumEntry(text, name, namedAfterImage, digest);
        if (entry == ChecksumEntry::Listed)
            return ChecksumLookup::Found;
        // A list of other files' checksums says nothing about this image.
        if (entry == ChecksumEntry::Malformed || namedAfterImage)
            return ChecksumLookup::Unreadable;
    }
    file->clear();
    return ChecksumLookup::None;
}

std::string ChecksumLine(const BYTE digest[kSha256Size], const std::wstring& name)
{
    const std::wstring hex = DigestHex(digest);
    std::string line(hex.begin(), hex.end());
    line += "  ";
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
    if (length > 0) {
        std::string utf8(static_cast<size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), &utf8[0], length, nullptr,
                            nullptr);
        line += utf8;
    }
    return line + "\n";
}

bool ConfirmWithoutChecksum(AppState& app, const std::wstring& file)
{
    const std::wstring text = L"Can't read the checksum file " + FileNamePart(file) +
                              L",\nthe image can't be checked against it!\n\nCONTINUE ?";
    return MessageBoxW(app.MainWindow, text.c_str(), L"Write image to disk",
                       MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

bool ImageMatchesChecksum(AppState& app, const BYTE expected[kSha256Size], const BYTE actual[kSha256Size])
{
    if (memcmp(expected, actual, kSha256Size) == 0)
        return true;
    ShowErrorBox(app, L"The image file doesn't match its checksum!\nThe physical drive holds a damaged image.");
    return false;
}
