// The configuration dialog's template as the driver module carries it: the dialog manager builds
// the dialog from these bytes, so they are checked field by field against the layout users know.
#include "driver_host.h"
#include "melv_version.h"
#include "platform/config_dialog_ids.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// Reads a DLGTEMPLATE and its DLGITEMTEMPLATEs: words, double words, and the "string or ordinal"
// fields, each control starting at a double-word boundary from the template's start.
class TemplateReader {
  public:
    TemplateReader(const BYTE* start, DWORD size) : start_(start), at_(start), end_(start + size) {}

    bool overrun() const { return overrun_; }

    WORD word() {
        if (end_ - at_ < 2) {
            overrun_ = true;
            return 0;
        }
        WORD value = static_cast<WORD>(at_[0] | at_[1] << 8);
        at_ += 2;
        return value;
    }

    DWORD dword() {
        DWORD low = word();
        return low | static_cast<DWORD>(word()) << 16;
    }

    short coordinate() { return static_cast<short>(word()); }

    std::string text() {
        std::string value;
        for (WORD c = word(); c != 0 && !overrun_; c = word()) {
            value += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return value;
    }

    // A menu, class or control text: none, an ordinal ("#128") or a string.
    std::string textOrOrdinal() {
        WORD first = word();
        if (first == 0x0000) {
            return "";
        }
        if (first == 0xFFFF) {
            return "#" + std::to_string(word());
        }
        at_ -= 2;
        return text();
    }

    void alignToDword() {
        while ((at_ - start_) % 4 != 0 && at_ < end_) {
            ++at_;
        }
    }

    void skip(std::size_t count) {
        if (static_cast<std::size_t>(end_ - at_) < count) {
            overrun_ = true;
            at_ = end_;
            return;
        }
        at_ += count;
    }

  private:
    const BYTE* start_;
    const BYTE* at_;
    const BYTE* end_;
    bool overrun_ = false;
};

struct ControlTemplate {
    int id;
    std::string windowClass;
    std::string text;
    int x, y, width, height;
    DWORD style;
    DWORD extendedStyle = 0;
    WORD creationDataBytes = 0;
};

std::string hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// A button's style spelled as in a resource script, so a difference reads as a flag.
std::string buttonStyle(DWORD style) {
    static const char* const kinds[] = {"BS_PUSHBUTTON",      "BS_DEFPUSHBUTTON", "BS_CHECKBOX",
                                        "BS_AUTOCHECKBOX",    "BS_RADIOBUTTON",   "BS_3STATE",
                                        "BS_AUTO3STATE",      "BS_GROUPBOX",      "BS_USERBUTTON",
                                        "BS_AUTORADIOBUTTON", "BS_PUSHBOX",       "BS_OWNERDRAW"};
    static const struct {
        DWORD flag;
        const char* name;
    } flags[] = {{WS_CHILD, "WS_CHILD"},   {WS_VISIBLE, "WS_VISIBLE"}, {WS_DISABLED, "WS_DISABLED"},
                 {WS_BORDER, "WS_BORDER"}, {WS_GROUP, "WS_GROUP"},     {WS_TABSTOP, "WS_TABSTOP"}};
    DWORD kind = style & BS_TYPEMASK;
    std::string spelled = kind < 12 ? kinds[kind] : hex(kind);
    style &= ~static_cast<DWORD>(BS_TYPEMASK);
    for (const auto& flag : flags) {
        if (style & flag.flag) {
            spelled += " | " + std::string(flag.name);
            style &= ~flag.flag;
        }
    }
    if (style != 0) {
        spelled += " | " + hex(style);
    }
    return spelled;
}

std::string describe(const ControlTemplate& c) {
    std::string text = "id " + std::to_string(c.id) + " " + c.windowClass + " \"" + c.text +
                       "\" at " + std::to_string(c.x) + "," + std::to_string(c.y) + " size " +
                       std::to_string(c.width) + "x" + std::to_string(c.height) + ", " +
                       buttonStyle(c.style);
    if (c.extendedStyle != 0) {
        text += ", extended style " + hex(c.extendedStyle);
    }
    if (c.creationDataBytes != 0) {
        text += ", " + std::to_string(c.creationDataBytes) + " bytes of creation data";
    }
    return text;
}

struct DialogTemplate {
    DWORD style = 0;
    DWORD extendedStyle = 0;
    int x = 0, y = 0, width = 0, height = 0;
    std::string menu, windowClass, title;
    int fontSize = 0;
    std::string font;
    std::vector<ControlTemplate> controls;
};

std::string orNone(const std::string& value, const char* none) {
    return value.empty() ? none : "\"" + value + "\"";
}

std::string describe(const DialogTemplate& d) {
    return "style " + hex(d.style) + ", extended style " + hex(d.extendedStyle) + ", at " +
           std::to_string(d.x) + "," + std::to_string(d.y) + " size " + std::to_string(d.width) +
           "x" + std::to_string(d.height) + ", menu " + orNone(d.menu, "none") + ", class " +
           orNone(d.windowClass, "default") + ", title \"" + d.title + "\", font " +
           std::to_string(d.fontSize) + " \"" + d.font + "\", " +
           std::to_string(d.controls.size()) + " controls";
}

::testing::AssertionResult parseDialogTemplate(const BYTE* bytes, DWORD size,
                                               DialogTemplate* parsed) {
    TemplateReader read(bytes, size);
    if (size >= 4 && bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF && bytes[3] == 0xFF) {
        return ::testing::AssertionFailure()
               << "the template is a DLGTEMPLATEEX, not a DLGTEMPLATE";
    }
    parsed->style = read.dword();
    parsed->extendedStyle = read.dword();
    WORD count = read.word();
    parsed->x = read.coordinate();
    parsed->y = read.coordinate();
    parsed->width = read.coordinate();
    parsed->height = read.coordinate();
    parsed->menu = read.textOrOrdinal();
    parsed->windowClass = read.textOrOrdinal();
    parsed->title = read.text();
    if (parsed->style & DS_SETFONT) {
        parsed->fontSize = read.word();
        parsed->font = read.text();
    }
    for (WORD i = 0; i < count && !read.overrun(); ++i) {
        read.alignToDword();
        ControlTemplate c{};
        c.style = read.dword();
        c.extendedStyle = read.dword();
        c.x = read.coordinate();
        c.y = read.coordinate();
        c.width = read.coordinate();
        c.height = read.coordinate();
        c.id = read.word();
        c.windowClass = read.textOrOrdinal();
        // Resource compilers write a system class as its ordinal or by its name, whose case does
        // not matter to the window manager.
        for (auto [ordinal, name] : {std::pair{"#128", "Button"}, std::pair{"#130", "Static"},
                                     std::pair{"#133", "ComboBox"}}) {
            if (c.windowClass == ordinal || lstrcmpiA(c.windowClass.c_str(), name) == 0) {
                c.windowClass = name;
            }
        }
        c.text = read.textOrOrdinal();
        c.creationDataBytes = read.word();
        read.skip(c.creationDataBytes);
        parsed->controls.push_back(c);
    }
    if (read.overrun()) {
        return ::testing::AssertionFailure()
               << "the template ends inside control " << parsed->controls.size() << " of " << count;
    }
    return ::testing::AssertionSuccess();
}

// The driver module mapped for its resources only: its entry point does not run.
class ResourceModule {
  public:
    ResourceModule()
        : module_(LoadLibraryExW(driverPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    ~ResourceModule() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    HMODULE handle() const { return module_; }

  private:
    HMODULE module_;
};

BOOL CALLBACK recordLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
    reinterpret_cast<std::vector<int>*>(languages)->push_back(language);
    return TRUE;
}

// The languages the dialog template is carried in. (FindResourceExW alone would not tell: it falls
// back to a neutral language when the one asked for is missing.)
std::vector<int> dialogLanguages(HMODULE module) {
    std::vector<int> languages;
    EnumResourceLanguagesW(module, RT_DIALOG, MAKEINTRESOURCEW(configDialogTemplate),
                           recordLanguage, reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

constexpr int usEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US); // 1033
constexpr DWORD child = WS_CHILD | WS_VISIBLE;

} // namespace

TEST(DialogTemplate,
     TheTemplateInUsEnglishIsTheConfigurationDialogWithItsTwentyFiveControlsInTabOrder) {
    ResourceModule module;
    ASSERT_NE(module.handle(), nullptr)
        << "the driver module cannot be mapped, error " << GetLastError();
    EXPECT_EQ(dialogLanguages(module.handle()), std::vector<int>{usEnglish})
        << "the dialog template in English (United States) alone";
    HRSRC found = FindResourceExW(module.handle(), RT_DIALOG,
                                  MAKEINTRESOURCEW(configDialogTemplate), usEnglish);
    ASSERT_NE(found, nullptr) << "no dialog template in English (United States)";
    DWORD size = SizeofResource(module.handle(), found);
    const auto* bytes =
        static_cast<const BYTE*>(LockResource(LoadResource(module.handle(), found)));
    ASSERT_NE(bytes, nullptr);
    DialogTemplate dialog;
    ASSERT_TRUE(parseDialogTemplate(bytes, size, &dialog));

    DialogTemplate expected;
    // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_3DLOOK |
    // DS_NOIDLEMSG
    expected.style = 0x90C801C4;
    expected.x = 10;
    expected.y = 38;
    expected.width = 221;
    expected.height = 143;
    expected.title = "MELV PC I/F NT Driver " MELV_VERSION_SHORT_TEXT; // major.minor
    expected.fontSize = 8;
    expected.font = "MS Sans Serif";
    expected.controls = {
        {control::ok, "Button", "OK", 140, 83, 32, 14,
         child | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP},
        {control::cancel, "Button", "Cancel", 182, 83, 32, 14, child | BS_PUSHBUTTON | WS_TABSTOP},
        {control::com1, "Button", "COM&1", 8, 14, 36, 10, child | BS_RADIOBUTTON},
        {control::com2, "Button", "COM&2", 8, 24, 36, 10, child | BS_RADIOBUTTON},
        {control::com3, "Button", "COM&3", 8, 34, 36, 10, child | BS_RADIOBUTTON},
        {control::com4, "Button", "COM&4", 8, 44, 36, 10, child | BS_RADIOBUTTON},
        {control::otherPort, "Button", "&Other port:", 8, 102, 50, 10, child | BS_RADIOBUTTON},
        {control::synthProgramChange, "Button", "Program Change", 55, 14, 72, 10,
         child | BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP},
        {control::synthControlChange, "Button", "Control Change", 55, 24, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::synthBankSelect, "Button", "Bank Select", 55, 34, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::synthChannelPressure, "Button", "Channel Pressure", 55, 44, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::synthPolyKeyPressure, "Button", "Poly Key Pressure", 55, 54, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::synthExclusive, "Button", "Exclusive", 55, 64, 72, 10, child | BS_AUTOCHECKBOX},
        {control::midiProgramChange, "Button", "Program Change", 141, 14, 72, 10,
         child | BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP},
        {control::midiControlChange, "Button", "Control Change", 141, 24, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::midiBankSelect, "Button", "Bank Select", 141, 34, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::midiChannelPressure, "Button", "Channel Pressure", 141, 44, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::midiPolyKeyPressure, "Button", "Poly Key Pressure", 141, 54, 72, 10,
         child | BS_AUTOCHECKBOX},
        {control::midiExclusive, "Button", "Exclusive", 141, 64, 72, 10, child | BS_AUTOCHECKBOX},
        {control::independentMode, "Button", "&Independent Synth / MIDI Out", 11, 85, 118, 10,
         child | BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP},
        // A drop-down list (CBS_DROPDOWNLIST) that scrolls, 80 units high when it drops down.
        {control::otherPortList, "ComboBox", "", 60, 100, 154, 80,
         child | CBS_DROPDOWNLIST | WS_VSCROLL | WS_GROUP | WS_TABSTOP},
        {control::synthGroup, "Button", "Synth Out Messages", 51, 3, 80, 74, child | BS_GROUPBOX},
        {control::midiGroup, "Button", "MIDI Out Messages", 137, 3, 80, 74, child | BS_GROUPBOX},
        {control::serialPortGroup, "Button", "Serial Port", 4, 3, 42, 55, child | BS_GROUPBOX},
        // Filled in when the dialog opens.
        {control::holder, "Static", "", 8, 130, 206, 8, child | SS_LEFT | SS_NOPREFIX},
        {control::share, "Button", "Let several programs use the instrument at once", 8, 116, 206,
         10, child | BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP},
    };

    EXPECT_EQ(describe(dialog), describe(expected));
    for (std::size_t i = 0; i < expected.controls.size() && i < dialog.controls.size(); ++i) {
        EXPECT_EQ(describe(dialog.controls[i]), describe(expected.controls[i]))
            << "control " << i + 1 << " in template order";
    }
}
