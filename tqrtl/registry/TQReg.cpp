// TQReg: the shared roots and the shared settings subkeys.
#include "tqrtl/registry/TQReg.h"

namespace TQReg {
namespace {

// Module start-up builds these in this order (one translation unit keeps
// it), and unload destroys them in reverse: the two hive keys, the user and
// machine roots below them, then the colour and tab fields of the pane
// defaults.
const char* g_root_name = "Software\\Vantor";

Registry::RootKey g_current_user(HKEY_CURRENT_USER);
Registry::RootKey g_local_machine(HKEY_LOCAL_MACHINE);
RootKey g_user_root(&g_current_user, g_root_name);
RootKey g_machine_root(&g_local_machine, g_root_name);

constexpr unsigned long kSystemColor = 0xBC000000;
constexpr unsigned long kColorWindowText = 8;
constexpr unsigned long kColorWindow = 5;
constexpr unsigned long kRed = 0x000000FF;
constexpr unsigned int kTabs = 8;

PaneValues g_variable_font = {"MS Sans Serif", 8, 0, 0, 0, 0, 0};
PaneValues g_fixed_font = {"Courier New", 10, 0, 0, 0, 0, 0};

void FillColorsAndTabs(PaneValues* values) {
  values->foreground = kSystemColor | kColorWindowText;
  values->background = kSystemColor | kColorWindow;
  values->highlight = kRed;
  values->tabs = kTabs;
}

struct PaneDefaultsFiller {
  PaneDefaultsFiller() {
    FillColorsAndTabs(&g_variable_font);
    FillColorsAndTabs(&g_fixed_font);
  }
} g_pane_defaults_filler;

// The parent a constructor "bound to the same key as `key`" hangs from.
Registry::Key* ParentOf(const Registry::Key& key) {
  return const_cast<Registry::Key*>(key.Parent());
}

}  // namespace

RootKey* CurrentUserRoot() { return &g_user_root; }
RootKey* LocalMachineRoot() { return &g_machine_root; }

RootKey* RootOf(const Registry::Item& item) {
  const Registry::RootKey* root = item.Root();
  if (root == nullptr) return nullptr;
  const HKEY hive = *root;
  if (hive == HKEY_CURRENT_USER) return CurrentUserRoot();
  if (hive == HKEY_LOCAL_MACHINE) return LocalMachineRoot();
  return nullptr;
}

const PaneValues* DefaultPaneValuesVariableFont() { return &g_variable_font; }
const PaneValues* DefaultPaneValuesFixedFont() { return &g_fixed_font; }

// ---------------------------------------------------------------- RootKey

RootKey::RootKey(Registry::Key* parent, const char* name) : Registry::Subkey(parent, name) {}
RootKey::RootKey(const RootKey& other) : EventSender(), Registry::Subkey(other) {}
RootKey::~RootKey() = default;

// ---------------------------------------------------------------- DynamicObjectKey

DynamicObjectKey::DynamicObjectKey(Registry::Key* parent, const char* name)
    : Registry::Subkey(parent, name), m_module(this, "", ""), m_load(this, "Load", 0) {}

DynamicObjectKey::DynamicObjectKey(const Registry::Key& key)
    : DynamicObjectKey(ParentOf(key), key.Name()) {}

DynamicObjectKey::DynamicObjectKey(const DynamicObjectKey& other)
    : Registry::Subkey(other),
      m_module(this, "", other.m_module.GetDefault()),
      m_load(this, "Load", other.m_load.GetDefault()) {}

DynamicObjectKey::~DynamicObjectKey() = default;

// ---------------------------------------------------------------- WindowState

WindowState::WindowState(Registry::Key* parent, const char* name)
    : Registry::Subkey(parent, name),
      m_show_cmd(this, "ShowCmd", 1),
      m_visible(this, "Visible", 1),
      m_normal_rect(this, "NormalRect", tagRECT{0, 0, 0, 0}) {}

WindowState::WindowState(const WindowState& other)
    : Registry::Subkey(other),
      m_show_cmd(this, "ShowCmd", other.m_show_cmd.GetDefault()),
      m_visible(this, "Visible", other.m_visible.GetDefault()),
      m_normal_rect(this, "NormalRect", other.m_normal_rect.GetDefault()) {}

WindowState::~WindowState() = default;

// ---------------------------------------------------------------- FontSettings

FontSettings::FontSettings(Registry::Key* parent, const char* fontName, long size,
                           unsigned long effects)
    : FontSettings(parent, "TextFont", fontName, size, effects) {}

FontSettings::FontSettings(Registry::Key* parent, const char* keyName, const char* fontName,
                           long size, unsigned long effects)
    : Registry::Subkey(parent, keyName),
      m_name(this, "Name", fontName),
      m_size(this, "Size", size),
      m_effects(this, "Effects", effects) {}

FontSettings::FontSettings(const FontSettings& other)
    : Registry::Subkey(other),
      m_name(this, "Name", other.m_name.GetDefault()),
      m_size(this, "Size", other.m_size.GetDefault()),
      m_effects(this, "Effects", other.m_effects.GetDefault()) {}

FontSettings::~FontSettings() = default;

// ---------------------------------------------------------------- ColorSettings

ColorSettings::ColorSettings(Registry::Key* parent, unsigned long foreground,
                             unsigned long background)
    : ColorSettings(parent, "TextColors", foreground, background) {}

ColorSettings::ColorSettings(Registry::Key* parent, const char* keyName, unsigned long foreground,
                             unsigned long background)
    : Registry::Subkey(parent, keyName),
      m_foreground(this, "Foreground", foreground),
      m_background(this, "Background", background) {}

ColorSettings::ColorSettings(const ColorSettings& other)
    : Registry::Subkey(other),
      m_foreground(this, "Foreground", other.m_foreground.GetDefault()),
      m_background(this, "Background", other.m_background.GetDefault()) {}

ColorSettings::~ColorSettings() = default;

// ---------------------------------------------------------------- Pane settings

StdPaneSettings::StdPaneSettings(Registry::Key* parent, const char* name, const PaneValues* values)
    : Registry::Subkey(parent, name),
      m_font(this, values->fontName, values->fontSize, values->fontEffects),
      m_colors(this, values->foreground, values->background) {}

StdPaneSettings::StdPaneSettings(const Registry::Key& key, const PaneValues* values)
    : StdPaneSettings(ParentOf(key), key.Name(), values) {}

StdPaneSettings::StdPaneSettings(const StdPaneSettings& other)
    : Registry::Subkey(other),
      m_font(this, other.m_font.Name(), other.m_font.m_name.GetDefault(),
             other.m_font.m_size.GetDefault(), other.m_font.m_effects.GetDefault()),
      m_colors(this, other.m_colors.Name(), other.m_colors.m_foreground.GetDefault(),
               other.m_colors.m_background.GetDefault()) {}

StdPaneSettings::~StdPaneSettings() = default;

FilePaneSettings::FilePaneSettings(Registry::Key* parent, const char* name,
                                   const PaneValues* values)
    : StdPaneSettings(parent, name, values),
      m_highlight(this, "Highlight", values->highlight),
      m_tabs(this, "Tabs", values->tabs) {}

FilePaneSettings::FilePaneSettings(const Registry::Key& key, const PaneValues* values)
    : FilePaneSettings(ParentOf(key), key.Name(), values) {}

FilePaneSettings::FilePaneSettings(const FilePaneSettings& other)
    : StdPaneSettings(other),
      m_highlight(this, "Highlight", other.m_highlight.GetDefault()),
      m_tabs(this, "Tabs", other.m_tabs.GetDefault()) {}

FilePaneSettings::~FilePaneSettings() = default;

}  // namespace TQReg
