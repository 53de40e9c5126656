#pragma once
// Saving a window's placement and layout details when it closes, and putting them back when
// it is shown again. A key path such as "Software\Norvane\Leafpress\Folioset" names a settings
// file below the user's config folder (Norvane/Leafpress/Folioset.conf there); its values are
// SizeAndPos, SplittersData, PageControlsData, ActiveControl and ExtInfo.
//
// Splitters are QSplitter widgets with at least two panes. A splitter resizes its first pane
// (the top or left one) unless that pane stretches, in which case it resizes its last pane
// (the bottom or right one); the size recorded is that pane's height for a vertical splitter
// and its width for a horizontal one. Page controls are QTabWidget widgets.

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class QSplitter;
class QWidget;

enum TFormStateFlag : unsigned {
  fsSizeAndPos = 1,
  fsSplitters = 2,
  fsPageControls = 4,
  fsActiveControl = 8,
  fsExtInfo = 16
};
using TFormStateFlags = unsigned;

// Fills text (given empty) with the caller's own state of form.
using TSaveExtInfoEvent = std::function<void(QWidget* form, QString& text)>;
// Receives the caller's own text saved with form.
using TRestoreExtInfoEvent = std::function<void(QWidget* form, const QString& text)>;

// The settings file that holds the values of keyPath.
QString FormStateFileName(const QString& keyPath);

// Writes the values chosen by flags; ExtInfo only with fsExtInfo and onSaveExtInfo. Nothing is
// saved when the settings file cannot be written.
void SaveFormState(const QString& keyPath, QWidget* form, TFormStateFlags flags,
                   const TSaveExtInfoEvent& onSaveExtInfo = {});
// Puts saved values back; without a settings file (first start) the form is centred on the
// primary screen instead. Stops silently at the first value it cannot apply.
void RestoreFormState(const QString& keyPath, QWidget* form,
                      const TRestoreExtInfoEvent& onRestoreExtInfo = {});

// "name=size" of every splitter of form, joined by ";".
QString GetSplittersData(QWidget* form);
// Applies "name=size" entries; bad entries are skipped, an empty entry ends the list.
void SetSplittersData(QWidget* form, const QString& data);
// "name=index" of every page control of form, joined by ";" (index -1: no page active).
QString GetPageControlsData(QWidget* form);
void SetPageControlsData(QWidget* form, const QString& data);

// The pane splitter resizes, or none when it has fewer than two panes or that pane is hidden
// or disabled.
QWidget* FindSplitControl(QSplitter* splitter);
// The first control below form (a parent before its children) named name, ignoring case.
QWidget* FindControlByName(QWidget* form, const QString& name);

// A window's placement in the 44-byte layout of the Windows WINDOWPLACEMENT record: length,
// flags, show command, minimised and maximised positions, and the normal rectangle (left, top,
// right, bottom). The normal rectangle is the window's client area as Qt places it.
struct TWindowPlacement {
  static constexpr uint32_t RecordSize = 44;
  static constexpr uint32_t SwShowNormal = 1;
  static constexpr uint32_t SwShowMinimized = 2;
  static constexpr uint32_t SwShowMaximized = 3;
  static constexpr uint32_t WpfRestoreToMaximized = 2;

  uint32_t Length = RecordSize;
  uint32_t Flags = 0;
  uint32_t ShowCmd = SwShowNormal;
  int32_t MinPosition[2] = {-1, -1};
  int32_t MaxPosition[2] = {-1, -1};
  QRect NormalPosition;

  QByteArray ToBytes() const;
  // none unless bytes are exactly RecordSize long.
  static std::optional<TWindowPlacement> FromBytes(const QByteArray& bytes);
};

// none when form is not a window.
std::optional<TWindowPlacement> GetWindowPlacement(QWidget* form);
// Gives form the normal rectangle, moved onto the nearest screen when its frame no longer
// fits that screen's available area (shrunk where it is too big), and the maximised state. A window
// saved minimised comes back in the state it would have been restored to, never minimised.
void SetWindowPlacement(QWidget* form, const TWindowPlacement& placement);
// Moves form, shrinking it where needed, so that its frame lies on the available area of the
// screen it overlaps most: for a frame the window system has made known only once shown.
void KeepFrameOnScreen(QWidget* form);
// rect itself when one of screens holds it; otherwise rect moved (and shrunk where needed)
// into the screen it overlaps most, or the nearest screen when it overlaps none.
QRect PlaceOnNearestScreen(const QRect& rect, const QList<QRect>& screens);
