// TQReg.h: the settings building blocks every tool of the family shares.
//
// - Two shared roots, one per hive, both at the key "Software\Vantor":
//   CurrentUserRoot() below HKEY_CURRENT_USER and LocalMachineRoot() below
//   HKEY_LOCAL_MACHINE. They are static objects built at module start-up
//   (after the two hive keys they hang from) and destroyed at unload. They
//   are event senders too: the application keys (TQApplSettings.h) pass
//   every notification they send on to the shared root of their hive, so a
//   receiver registered there hears all applications of that hive.
// - DynamicObjectKey: the key of a module to load (its file name in the
//   unnamed value, and "Load").
// - Reusable subkeys with their defaults: WindowState, FontSettings,
//   ColorSettings, and the text-pane settings StdPaneSettings and
//   FilePaneSettings built from a PaneValues record.
//
// Each class is a Registry::Subkey whose values are public members built
// with their defaults; building one touches no registry value, and the
// first read of each value stores its default when nothing valid is there
// (RegistryValue.h). Win32 failures arrive as `unsigned int` 3.
//
// A copied settings object is bound to its own key object: its values are
// built anew below the copy (same names, same defaults), so the copy works
// on its own and does not depend on the source living on.
//
// Thread-safety: settings objects belong to one thread at a time; the
// shared roots' receiver lists follow EventSender's rules.
#ifndef TQRTL_REGISTRY_TQREG_H_
#define TQRTL_REGISTRY_TQREG_H_

#include "tqrtl/core/EventSender.h"
#include "tqrtl/registry/Registry.h"
#include "tqrtl/registry/RegistryValue.h"

namespace TQReg {

// The defaults of a text pane. Colours are 32-bit numbers the library never
// interprets: 0xBC000000 plus a Win32 system colour index marks a system
// colour (8 window text, 5 window background); anything else is an RGB
// COLORREF (255 is red).
struct PaneValues {
  const char* fontName;
  long fontSize;
  unsigned long fontEffects;
  unsigned long foreground;
  unsigned long background;
  unsigned long highlight;
  unsigned int tabs;
};

// RootKey: a subkey that is also an event sender. Copying gives a key on the
// same registry key with an empty receiver list.
class TQRTL_API RootKey : public EventSender, public Registry::Subkey {
 public:
  RootKey(Registry::Key* parent, const char* name);
  RootKey(const RootKey& other);
  ~RootKey() override;
};

TQRTL_API RootKey* CurrentUserRoot();
TQRTL_API RootKey* LocalMachineRoot();
// RootOf: the shared root of the hive `item` hangs from (by the handle of
// the root key at the top of its chain), or NULL for any other hive or for
// an item below no root key.
TQRTL_API RootKey* RootOf(const Registry::Item& item);

// The two default records: "MS Sans Serif" 8 and "Courier New" 10, both with
// effects 0, the system window text and window background colours, red
// highlight and tabs of 8.
TQRTL_API const PaneValues* DefaultPaneValuesVariableFont();
TQRTL_API const PaneValues* DefaultPaneValuesFixedFont();

// DynamicObjectKey: the unnamed value holds a module's file name ("" by
// default), "Load" whether to load it (0 by default).
class TQRTL_API DynamicObjectKey : public Registry::Subkey {
 public:
  DynamicObjectKey(Registry::Key* parent, const char* name);
  // Bound to the same registry key as `key`: same parent, same name.
  explicit DynamicObjectKey(const Registry::Key& key);
  DynamicObjectKey(const DynamicObjectKey& other);
  ~DynamicObjectKey() override;

  Registry::StringValue m_module;
  Registry::NumberValue<int> m_load;
};

// WindowState: "ShowCmd" 1, "Visible" 1, "NormalRect" the zero rectangle.
class TQRTL_API WindowState : public Registry::Subkey {
 public:
  WindowState(Registry::Key* parent, const char* name);
  WindowState(const WindowState& other);
  ~WindowState() override;

  Registry::NumberValue<int> m_show_cmd;
  Registry::NumberValue<int> m_visible;
  Registry::ExtendedValue<tagRECT, 2> m_normal_rect;
};

// FontSettings: "Name", "Size", "Effects" in the key "TextFont" or a key
// named by the caller.
class TQRTL_API FontSettings : public Registry::Subkey {
 public:
  FontSettings(Registry::Key* parent, const char* fontName, long size, unsigned long effects);
  FontSettings(Registry::Key* parent, const char* keyName, const char* fontName, long size,
               unsigned long effects);
  FontSettings(const FontSettings& other);
  ~FontSettings() override;

  Registry::StringValue m_name;
  Registry::NumberValue<long> m_size;
  Registry::NumberValue<unsigned long> m_effects;
};

// ColorSettings: "Foreground" and "Background" in the key "TextColors" or a
// key named by the caller.
class TQRTL_API ColorSettings : public Registry::Subkey {
 public:
  ColorSettings(Registry::Key* parent, unsigned long foreground, unsigned long background);
  ColorSettings(Registry::Key* parent, const char* keyName, unsigned long foreground,
                unsigned long background);
  ColorSettings(const ColorSettings& other);
  ~ColorSettings() override;

  Registry::NumberValue<unsigned long> m_foreground;
  Registry::NumberValue<unsigned long> m_background;
};

// StdPaneSettings: a pane's "TextFont" and "TextColors" subkeys, with the
// defaults of a PaneValues record (which must outlive the constructor only).
class TQRTL_API StdPaneSettings : public Registry::Subkey {
 public:
  StdPaneSettings(Registry::Key* parent, const char* name, const PaneValues* values);
  // Bound to the same registry key as `key`.
  StdPaneSettings(const Registry::Key& key, const PaneValues* values);
  StdPaneSettings(const StdPaneSettings& other);
  ~StdPaneSettings() override;

  FontSettings m_font;
  ColorSettings m_colors;
};

// FilePaneSettings: a StdPaneSettings with "Highlight" and "Tabs".
class TQRTL_API FilePaneSettings : public StdPaneSettings {
 public:
  FilePaneSettings(Registry::Key* parent, const char* name, const PaneValues* values);
  FilePaneSettings(const Registry::Key& key, const PaneValues* values);
  FilePaneSettings(const FilePaneSettings& other);
  ~FilePaneSettings() override;

  Registry::NumberValue<unsigned long> m_highlight;
  Registry::NumberValue<unsigned int> m_tabs;
};

}  // namespace TQReg

#endif  // TQRTL_REGISTRY_TQREG_H_
