// The main dialog as the program creates it: template, controls, keys, About box.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/image_jobs.h"
#include "resource.h"
#include "tests/support/win_test_support.h"
#include "tests/ui/ui_test_env.h"
#include "ui/main_dialog.h"
#include "ui/startup.h"

namespace {

struct TemplateItem {
    int id;
    std::wstring className; // atoms are spelled as names
    std::wstring text;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption;
    WORD pointSize = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::wstring font;
    std::vector<TemplateItem> items;
};

// Reads a template field that is empty, an ordinal or a string.
class Reader {
  public:
    explicit Reader(const BYTE* data) : p_(data) {}
    template <typename T> T Take()
    {
        T value;
        memcpy(&value, p_, sizeof(T));
        p_ += sizeof(T);
        return value;
    }
    std::wstring String()
    {
        std::wstring text;
        for (WORD c; (c = Take<WORD>()) != 0;)
            text += static_cast<wchar_t>(c);
        return text;
    }
    std::wstring NameOrOrdinal()
    {
        WORD first;
        memcpy(&first, p_, sizeof(first));
        if (first == 0xFFFF) {
            p_ += 2;
            switch (WORD atom = Take<WORD>()) {
            case 0x80:
                return L"Button";
            case 0x81:
                return L"Edit";
            case 0x82:
                return L"Static";
            case 0x83:
                return L"ListBox";
            case 0x85:
                return L"ComboBox";
            default:
                return L"#" + std::to_wstring(atom);
            }
        }
        return String();
    }
    void AlignDword()
    {
        while (reinterpret_cast<UINT_PTR>(p_) % 4 != 0)
            ++p_;
    }
    void Skip(size_t bytes) { p_ += bytes; }

  private:
    const BYTE* p_;
};

bool LoadTemplate(int id, DialogTemplate* out)
{
    HRSRC found = FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    if (found == nullptr)
        return false;
    Reader r(static_cast<const BYTE*>(LockResource(LoadResource(GetModuleHandleW(nullptr), found))));
    const bool extended = r.Take<WORD>() == 1 && r.Take<WORD>() == 0xFFFF;
    if (extended) {
        r.Take<DWORD>(); // help id
        out->exStyle = r.Take<DWORD>();
        out->style = r.Take<DWORD>();
    } else {
        r = Reader(static_cast<const BYTE*>(LockResource(LoadResource(GetModuleHandleW(nullptr), found))));
        out->style = r.Take<DWORD>();
        out->exStyle = r.Take<DWORD>();
    }
    const WORD count = r.Take<WORD>();
    out->x = r.Take<short>();
    out->y = r.Take<short>();
    out->cx = r.Take<short>();
    out->cy = r.Take<short>();
    r.NameOrOrdinal(); // menu
    r.NameOrOrdinal(); // class
    out->caption = r.String();
    if (out->style & DS_SETFONT) {
        out->pointSize = r.Take<WORD>();
        if (extended) {
            out->weight = r.Take<WORD>();
            out->italic = r.Take<BYTE>();
            out->charset = r.Take<BYTE>();
        }
        out->font = r.String();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        TemplateItem item;
        if (extended) {
            r.Take<DWORD>(); // help id
            item.exStyle = r.Take<DWORD>();
            item.style = r.Take<DWORD>();
        } else {
            item.style = r.Take<DWORD>();
            item.exStyle = r.Take<DWORD>();
        }
        item.x = r.Take<short>();
        item.y = r.Take<short>();
        item.cx = r.Take<short>();
        item.cy = r.Take<short>();
        item.id = extended ? static_cast<int>(r.Take<DWORD>()) : static_cast<short>(r.Take<WORD>());
        item.className = r.NameOrOrdinal();
        item.text = r.NameOrOrdinal();
        r.Skip(r.Take<WORD>());
        out->items.push_back(item);
    }
    return true;
}

void ExpectItems(const std::vector<TemplateItem>& actual, const std::vector<TemplateItem>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1) + " " + ts::Narrow(expected[i].text));
        const TemplateItem& a = actual[i];
        const TemplateItem& e = expected[i];
        EXPECT_EQ(a.id, e.id);
        EXPECT_EQ(_wcsicmp(a.className.c_str(), e.className.c_str()), 0) << ts::Narrow(a.className);
        EXPECT_EQ(a.text, e.text);
        EXPECT_EQ(a.style, e.style | WS_CHILD | WS_VISIBLE) << std::hex << a.style;
        EXPECT_EQ(a.exStyle, e.exStyle) << std::hex << a.exStyle;
        EXPECT_EQ(std::vector<short>({a.x, a.y, a.cx, a.cy}), std::vector<short>({e.x, e.y, e.cx, e.cy}));
    }
}

const DWORD Framed = WS_EX_DLGMODALFRAME | WS_EX_CLIENTEDGE | WS_EX_STATICEDGE;
const DWORD Label = WS_GROUP | SS_LEFT | SS_CENTERIMAGE;
const DWORD TwoLineButton = WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER | BS_MULTILINE;

} // namespace

TEST(Templates, MainDialogHasItsEighteenControlsInTabOrder)
{
    DialogTemplate t;
    ASSERT_TRUE(LoadTemplate(IDD_MAIN, &t));
    EXPECT_EQ(t.style,
              DWORD(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER | DS_SETFONT | DS_FIXEDSYS));
    EXPECT_EQ(t.exStyle, 0u);
    EXPECT_EQ(t.caption, L"Korvane");
    EXPECT_EQ(std::vector<short>({t.x, t.y, t.cx, t.cy}), std::vector<short>({22, 17, 220, 155}));
    EXPECT_EQ(t.font, L"Microsoft Sans Serif");
    EXPECT_EQ(t.pointSize, 11);
    EXPECT_EQ(t.weight, 400);
    EXPECT_EQ(t.italic, 0);
    EXPECT_EQ(t.charset, 238);
    ExpectItems(
        t.items,
        {
            {1001, L"ComboBox", L"", WS_VSCROLL | CBS_DROPDOWNLIST | CBS_HASSTRINGS, 0, 4, 19, 173, 61},
            {1000, L"Button", L"Refresh", WS_TABSTOP | BS_PUSHBUTTON, 0, 180, 19, 38, 13},
            {-1, L"Static", L"Avaible Physical Drives:", WS_GROUP | SS_CENTER | SS_CENTERIMAGE, Framed, 4, 4, 199, 13},
            {1002, L"ListBox", L"", WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, 0, 37, 45, 180, 32},
            {-1, L"Static", L"NAME:", Label, 0, 8, 45, 24, 8},
            {-1, L"Static", L"SIZE:", Label, 0, 8, 53, 24, 8},
            {-1, L"Static", L"MEDIA:", Label, 0, 8, 61, 24, 8},
            {-1, L"Static", L"TYPE:", Label, 0, 8, 69, 24, 8},
            {-1, L"Button", L"Drive details:", BS_GROUPBOX, 0, 4, 34, 214, 46},
            {1003, L"Edit", L"", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY, 0, 2, 97, 216, 14},
            {-1, L"Static", L"Disk Image Filename:", WS_GROUP | SS_CENTER | SS_CENTERIMAGE, Framed, 2, 82, 131, 13},
            {1004, L"Button", L"Select", WS_TABSTOP | BS_PUSHBUTTON, 0, 135, 82, 38, 13},
            {1005, L"Button", L"Create\nimage", TwoLineButton, 0, 156, 115, 30, 21},
            {1006, L"msctls_progress32", L"", PBS_SMOOTH, 0, 2, 115, 152, 9},
            {1007, L"Button", L"Allow edit", WS_TABSTOP | BS_AUTOCHECKBOX, WS_EX_DLGMODALFRAME, 175, 82, 43, 13},
            {1008, L"Button", L"Restore\nimage", TwoLineButton, 0, 188, 115, 30, 21},
            {1009, L"Button", L"Cancel", WS_DISABLED | WS_TABSTOP | BS_PUSHBUTTON, 0, 2, 126, 27, 10},
            {1010, L"Button", L"i", WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER | BS_VCENTER,
             WS_EX_DLGMODALFRAME | WS_EX_CLIENTEDGE, 205, 4, 13, 13},
        });
}

TEST(Templates, AboutBoxHasItsThreeControls)
{
    DialogTemplate t;
    ASSERT_TRUE(LoadTemplate(IDD_ABOUT, &t));
    EXPECT_EQ(t.style, DWORD(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT |
                             DS_FIXEDSYS | DS_3DLOOK));
    EXPECT_EQ(t.caption, L"About");
    EXPECT_EQ(std::vector<short>({t.x, t.y, t.cx, t.cy}), std::vector<short>({0, 0, 109, 92}));
    EXPECT_EQ(t.font, L"Tahoma");
    EXPECT_EQ(t.pointSize, 12);
    ASSERT_EQ(t.items.size(), 3u);
    // Six lines: credit, " for" the system, empty, licence, empty, version.
    const std::wstring& block = t.items[0].text;
    std::vector<std::wstring> lines;
    for (size_t start = 0;;) {
        size_t end = block.find(L'\n', start);
        lines.push_back(block.substr(start, end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 6u) << ts::Narrow(block);
    EXPECT_FALSE(lines[0].empty());
    EXPECT_EQ(lines[1].rfind(L" for ", 0), 0u);
    EXPECT_TRUE(lines[2].empty());
    EXPECT_EQ(lines[3][0], L' ');
    EXPECT_TRUE(lines[4].empty());
    EXPECT_EQ(lines[5], L" version 0.9.1.0");
    EXPECT_EQ(block.find(L'\r'), std::wstring::npos);
    ExpectItems({t.items[1], t.items[2]},
                {
                    {1000, L"Button", L"OK", WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER | BS_VCENTER, WS_EX_CLIENTEDGE, 2,
                     74, 104, 16},
                    {-1, L"Static", L"Korvane", WS_BORDER | WS_DLGFRAME | WS_GROUP | SS_CENTER | SS_CENTERIMAGE, 0, 2,
                     2, 104, 14},
                });
    EXPECT_EQ(t.items[0].style, DWORD(WS_CHILD | WS_VISIBLE | WS_BORDER | SS_LEFTNOWORDWRAP));
}

namespace {

struct TipSearch {
    std::vector<HWND> tips;
};

BOOL CALLBACK CollectTips(HWND window, LPARAM param)
{
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (std::wstring(className) == TOOLTIPS_CLASSW && GetWindow(window, GW_OWNER) == MainWindow())
        reinterpret_cast<TipSearch*>(param)->tips.push_back(window);
    return TRUE;
}

} // namespace

TEST(MainWindow, StartsShownWithStatusBarIconTipsAndLimitedEdit)
{
    HWND dialog = MainWindow();
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_FALSE(IsIconic(dialog));
    ASSERT_NE(g_StatusBar, nullptr);
    EXPECT_EQ(GetDlgCtrlID(g_StatusBar), IDC_STATUS);
    EXPECT_EQ(GetParent(g_StatusBar), dialog);
    EXPECT_EQ(InitialStatusText(), L"Please select a physical drive!");
    EXPECT_EQ(SendMessageW(g_StatusBar, SB_GETPARTS, 0, 0), 1);
    EXPECT_FALSE(SendMessageW(g_StatusBar, SB_ISSIMPLE, 0, 0));
    EXPECT_EQ(GetWindowLongW(g_StatusBar, GWL_STYLE) & SBARS_SIZEGRIP, 0);

    EXPECT_NE(GetClassLongPtrW(dialog, GCLP_HICON), 0);
    // A name that the job's 260-unit buffer can't hold must not be typed at all.
    EXPECT_EQ(SendMessageW(Control(IDC_FILE_NAME), EM_GETLIMITTEXT, 0, 0), 259);

    TipSearch search;
    EnumWindows(CollectTips, reinterpret_cast<LPARAM>(&search));
    ASSERT_EQ(search.tips.size(), 7u);
    struct Expected {
        int id;
        const wchar_t* text;
    } expected[] = {
        {IDC_CREATE, L"Create image from physical drive"},
        {IDC_RESTORE, L"Restore image on physical drive"},
        {IDC_REFRESH, L"Refresh list of drives"},
        {IDC_SELECT, L"Select filename of the image"},
        {IDC_ALLOW_EDIT, L"Allow manual edit of the filename"},
        {IDC_CANCEL, L"Cancel image processing"},
        {IDC_ABOUT, L"About program"},
    };
    for (const Expected& e : expected) {
        bool found = false;
        for (HWND tip : search.tips) {
            EXPECT_EQ(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0), 1);
            wchar_t text[128] = {};
            TOOLINFOW tool = {};
            tool.cbSize = sizeof(tool);
            tool.lpszText = text;
            if (!SendMessageW(tip, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&tool)))
                continue;
            if (tool.uId != reinterpret_cast<UINT_PTR>(Control(e.id)))
                continue;
            found = true;
            EXPECT_EQ(std::wstring(text), e.text);
            EXPECT_EQ(tool.uFlags & (TTF_IDISHWND | TTF_SUBCLASS), UINT(TTF_IDISHWND | TTF_SUBCLASS));
            EXPECT_EQ(tool.hwnd, MainWindow());
        }
        EXPECT_TRUE(found) << ts::Narrow(e.text);
    }
}

TEST(MainWindow, IdleControlsAreEnabledButCancel)
{
    for (int id :
         {IDC_DRIVE_COMBO, IDC_REFRESH, IDC_SELECT, IDC_ALLOW_EDIT, IDC_CREATE, IDC_RESTORE, IDC_FILE_NAME, IDC_ABOUT})
        EXPECT_TRUE(IsWindowEnabled(Control(id))) << id;
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_CANCEL)));
}

namespace {

bool IsReadOnly(HWND edit)
{
    return (GetWindowLongW(edit, GWL_STYLE) & ES_READONLY) != 0;
}

// A key as the message loop hands it over: to IsDialogMessageW first.
void PressKey(HWND target, WPARAM key, wchar_t character)
{
    SetFocus(target);
    for (UINT message : {WM_KEYDOWN, WM_CHAR, WM_KEYUP}) {
        MSG msg = {};
        msg.hwnd = target;
        msg.message = message;
        msg.wParam = message == WM_CHAR ? character : key;
        msg.time = GetMessageTime();
        if (!IsDialogMessageW(MainWindow(), &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    ts::PumpPending();
}

void TypeText(HWND edit, const std::wstring& text)
{
    for (wchar_t c : text)
        SendMessageW(edit, WM_CHAR, c, 0);
}

} // namespace

TEST(FileNameEdit, AllowEditUnlocksAndEnterLocksAgainKeepingTheName)
{
    HWND edit = Control(IDC_FILE_NAME);
    HWND allow = Control(IDC_ALLOW_EDIT);
    SetWindowTextW(edit, L"");
    ASSERT_TRUE(IsReadOnly(edit));
    TypeText(edit, L"locked");
    EXPECT_EQ(ts::WindowText(edit), L"");

    SendMessageW(allow, BM_CLICK, 0, 0);
    EXPECT_EQ(IsDlgButtonChecked(MainWindow(), IDC_ALLOW_EDIT), BST_CHECKED);
    EXPECT_FALSE(IsReadOnly(edit));
    TypeText(edit, L"C:\\images\\disk.hdd");

    PressKey(edit, VK_RETURN, L'\r');
    EXPECT_TRUE(IsReadOnly(edit));
    EXPECT_EQ(IsDlgButtonChecked(MainWindow(), IDC_ALLOW_EDIT), BST_UNCHECKED);
    EXPECT_EQ(ts::WindowText(edit), L"C:\\images\\disk.hdd");
    EXPECT_EQ(GetFocus(), edit);

    // Ticking the box again unlocks; clearing it locks.
    SendMessageW(allow, BM_CLICK, 0, 0);
    EXPECT_FALSE(IsReadOnly(edit));
    SendMessageW(allow, BM_CLICK, 0, 0);
    EXPECT_TRUE(IsReadOnly(edit));
    SetWindowTextW(edit, L"");
}

TEST(FileNameEdit, TabEscAndEnterStayInTheEdit)
{
    HWND edit = Control(IDC_FILE_NAME);
    // Tab elsewhere moves on: the key reaches the dialog manager.
    PressKey(Control(IDC_SELECT), VK_TAB, L'\t');
    EXPECT_NE(GetFocus(), Control(IDC_SELECT));

    for (WPARAM key : {WPARAM(VK_TAB), WPARAM(VK_ESCAPE), WPARAM(VK_RETURN)}) {
        PressKey(edit, key, static_cast<wchar_t>(key));
        EXPECT_EQ(GetFocus(), edit) << key;
        EXPECT_TRUE(IsWindowVisible(MainWindow())) << key;
        EXPECT_EQ(SendMessageW(edit, WM_GETDLGCODE, 0, 0), DLGC_WANTALLKEYS);
    }
    MSG quit;
    EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

TEST(MainWindow, TabSkipsTheDriveComboAndStopsAtTheDetailsList)
{
    SetFocus(Control(IDC_ABOUT));
    HWND next = GetNextDlgTabItem(MainWindow(), Control(IDC_ABOUT), FALSE);
    EXPECT_EQ(next, Control(IDC_REFRESH));
    EXPECT_EQ(GetNextDlgTabItem(MainWindow(), Control(IDC_REFRESH), FALSE), Control(IDC_DETAILS));
}

TEST(MainWindow, OnlyTheDetailsListTakesTheButtonFaceBackground)
{
    HDC dc = GetDC(Control(IDC_DETAILS));
    LRESULT brush = SendMessageW(MainWindow(), WM_CTLCOLORLISTBOX, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(Control(IDC_DETAILS)));
    EXPECT_EQ(reinterpret_cast<HBRUSH>(brush), BackgroundBrush);
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_BTNFACE));
    ReleaseDC(Control(IDC_DETAILS), dc);

    COMBOBOXINFO combo = {};
    combo.cbSize = sizeof(combo);
    ASSERT_TRUE(GetComboBoxInfo(Control(IDC_DRIVE_COMBO), &combo));
    HDC listDc = GetDC(combo.hwndList);
    // FALSE leaves the colours to the platform.
    EXPECT_EQ(MainDialogProc(MainWindow(), WM_CTLCOLORLISTBOX, reinterpret_cast<WPARAM>(listDc),
                             reinterpret_cast<LPARAM>(combo.hwndList)),
              FALSE);
    ReleaseDC(combo.hwndList, listDc);
}

TEST(RestoreConfirmation, EnterAnswersNoAndNothingStarts)
{
    ts::BoxWatcher boxes;
    boxes.SetDefaultAnswer(0); // watch only; the person below answers
    ts::ObservedBox box;
    WhileModal([] { SendMessageW(Control(IDC_RESTORE), BM_CLICK, 0, 0); },
               [&] {
                   HWND window = FindOwnDialog(L"Write data to disk");
                   if (window == nullptr || !ts::ReadMessageBox(window, &box))
                       return;
                   // Enter presses whichever button the box made its default.
                   GUITHREADINFO gui = {};
                   gui.cbSize = sizeof(gui);
                   GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
                   PostMessageW(gui.hwndFocus, WM_KEYDOWN, VK_RETURN, 0);
                   PostMessageW(gui.hwndFocus, WM_KEYUP, VK_RETURN, 0);
               });
    EXPECT_EQ(box.caption, L"Write data to disk");
    EXPECT_EQ(box.text, L"All data at the physical disk will be lost!\n\nCONTINUE ?");
    EXPECT_EQ(box.icon, ts::BoxIcon::Warning);
    EXPECT_EQ(box.buttons, std::vector<int>({IDYES, IDNO}));
    EXPECT_EQ(box.owner, MainWindow());
    // A Yes would have started a job, which ends in a box of its own.
    ts::PumpUntil([] { return false; }, 500);
    EXPECT_FALSE(IsJobRunning());
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_CANCEL)));
    EXPECT_TRUE(IsWindowEnabled(Control(IDC_CREATE)));
    for (const ts::ObservedBox& seen : boxes.Boxes()) {
        EXPECT_EQ(seen.caption, L"Write data to disk");
        if (IsWindow(seen.window))
            ts::BoxWatcher::Press(seen.window, IDOK);
    }
    ts::PumpUntil([] { return !IsJobRunning(); });
}

TEST(AboutBox, ClosesOnOkEscAndCloseBoxWithoutDisablingTheMainWindow)
{
    struct Way {
        const char* name;
        INT_PTR expected;
        std::function<void(HWND)> close;
    } ways[] = {
        {"OK button", IDC_ABOUT_OK, [](HWND about) { PostMessageW(GetDlgItem(about, IDC_ABOUT_OK), BM_CLICK, 0, 0); }},
        {"Esc", IDCANCEL, [](HWND about) { PostMessageW(GetDlgItem(about, IDC_ABOUT_OK), WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"close box", IDCANCEL, [](HWND about) { PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        INT_PTR result = -1;
        bool mainEnabled = false;
        HWND owner = reinterpret_cast<HWND>(1);
        std::wstring title;
        WhileModal([&] { result = DialogBoxParamW(g_Instance, MAKEINTRESOURCEW(IDD_ABOUT), nullptr, AboutBoxProc, 0); },
                   [&] {
                       HWND about = FindOwnDialog(L"About");
                       if (about == nullptr)
                           return;
                       mainEnabled = IsWindowEnabled(MainWindow()) != FALSE;
                       owner = GetWindow(about, GW_OWNER);
                       title = ts::WindowText(FindWindowExW(about, nullptr, L"Static", L"Korvane"));
                       way.close(about);
                   });
        EXPECT_EQ(result, way.expected);
        EXPECT_TRUE(mainEnabled);
        EXPECT_EQ(owner, nullptr);
        EXPECT_EQ(title, L"Korvane");
    }
}
