#include "gui/u_Forms.h"

#include "common/u_Common.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStandardPaths>
#include <QStyle>
#include <QTabWidget>
#include <QWidget>
#include <QtEndian>

#include <climits>
#include <memory>

namespace {
const char* const SSizeAndPos = "SizeAndPos";
const char* const SSplittersData = "SplittersData";
const char* const SPageControlsData = "PageControlsData";
const char* const SActiveControl = "ActiveControl";
const char* const SExtInfo = "ExtInfo";
const char* const SNoActiveControl = "nil";
// The registry branch every program key lives in; it adds nothing to a file name.
const char* const SSoftwareBranch = "Software";

// Ends a restore at the first value that cannot be applied.
struct ERestoreStopped {};

// The controls placed on parent, in its order; dialogs and menus it owns are windows of their
// own and not among them.
QWidgetList ChildControls(QWidget* parent) {
  QWidgetList controls;
  for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (!child->isWindow())
      controls.append(child);
  return controls;
}

// Visits every control below parent, each child's own children before the child; stops the
// whole walk as soon as visit returns true.
bool WalkControls(QWidget* parent, const std::function<bool(QWidget*)>& visit) {
  for (QWidget* child : ChildControls(parent)) {
    if (WalkControls(child, visit) || visit(child))
      return true;
  }
  return false;
}

// Removes leading and trailing characters with codes up to 32.
std::string TrimControls(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
    ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
    --last;
  return text.substr(first, last - first);
}

// The decimal integer text holds, or -1 when it holds none.
int IntegerOrMinusOne(const std::string& text) {
  bool ok = false;
  const int value = QString::fromStdString(text).toInt(&ok);
  return ok ? value : -1;
}

// Calls apply(name, number) for every "name=number" entry of data with a name and a number of
// 0 or more, until the first empty entry.
void ForEachEntry(const QString& data, const std::function<void(const QString&, int)>& apply) {
  std::string text = data.toStdString();
  for (std::string token = TrimControls(FetchToken(text, ";")); !token.empty();
       token = TrimControls(FetchToken(text, ";"))) {
    const size_t equals = token.find('=');
    if (equals == std::string::npos)
      continue;
    const std::string name = TrimControls(token.substr(0, equals));
    const int number = IntegerOrMinusOne(TrimControls(token.substr(equals + 1)));
    if (!name.empty() && number >= 0)
      apply(QString::fromStdString(name), number);
  }
}

// Joins entries, each ending in ";", and drops the last ";".
QString WithoutLastCharacter(QString text) {
  text.chop(1);
  return text;
}

enum TSplitSide { ssNone, ssTop, ssBottom, ssLeft, ssRight };

// Which pane the splitter resizes, seen as the side that pane is aligned to.
TSplitSide SplitSide(QSplitter* splitter) {
  if (splitter->count() < 2)
    return ssNone;
  const bool vertical = splitter->orientation() == Qt::Vertical;
  const QSizePolicy policy = splitter->widget(0)->sizePolicy();
  const bool firstStretches =
      (vertical ? policy.verticalStretch() : policy.horizontalStretch()) > 0;
  if (vertical)
    return firstStretches ? ssBottom : ssTop;
  return firstStretches ? ssRight : ssLeft;
}

int PaneIndex(QSplitter* splitter, TSplitSide side) {
  return side == ssTop || side == ssLeft ? 0 : splitter->count() - 1;
}

// Gives the pane the splitter resizes the new size; the neighbouring pane takes up the
// difference so that the far edge stays where it is.
void ResizeSplitPane(QSplitter* splitter, TSplitSide side, int size) {
  QList<int> sizes = splitter->sizes();
  const int pane = PaneIndex(splitter, side);
  const int neighbour = pane == 0 ? 1 : pane - 1;
  sizes[neighbour] = std::max(0, sizes[neighbour] + sizes[pane] - size);
  sizes[pane] = size;
  splitter->setSizes(sizes);
}

QString ReadString(const QSettings& settings, const char* name) {
  const QVariant value = settings.value(name);
  if (!value.isValid())
    return QString();
  if (value.typeId() != QMetaType::QString)
    throw ERestoreStopped();
  return value.toString();
}

void CentreOnPrimaryScreen(QWidget* form) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->geometry();
  form->move(area.left() + (area.width() - form->width()) / 2,
             area.top() + (area.height() - form->height()) / 2);
}

void ApplySizeAndPos(const QSettings& settings, QWidget* form) {
  const QVariant value = settings.value(SSizeAndPos);
  if (!value.isValid())
    return;
  if (value.typeId() != QMetaType::QByteArray)
    throw ERestoreStopped();
  const QByteArray bytes = value.toByteArray();
  // A longer record cannot be read into the placement; a shorter one is not a placement.
  if (bytes.size() > qsizetype(TWindowPlacement::RecordSize))
    throw ERestoreStopped();
  if (const std::optional<TWindowPlacement> placement = TWindowPlacement::FromBytes(bytes))
    SetWindowPlacement(form, *placement);
}

void ApplyActiveControl(const QString& name, QWidget* form) {
  if (name.isEmpty())
    return;
  QWidget* control = name.compare(SNoActiveControl, Qt::CaseInsensitive) == 0
                         ? nullptr
                         : FindControlByName(form, name);
  if (!control) {
    if (QWidget* focused = form->focusWidget())
      focused->clearFocus();
    return;
  }
  if (control->focusPolicy() == Qt::NoFocus || !control->isEnabled())
    throw ERestoreStopped();
  control->setFocus();
}
} // namespace

QString FormStateFileName(const QString& keyPath) {
  QStringList parts = keyPath.split('\\', Qt::SkipEmptyParts);
  if (!parts.isEmpty() && parts.front().compare(SSoftwareBranch, Qt::CaseInsensitive) == 0)
    parts.removeFirst();
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + '/' +
         parts.join('/') + ".conf";
}

void SaveFormState(const QString& keyPath, QWidget* form, TFormStateFlags flags,
                   const TSaveExtInfoEvent& onSaveExtInfo) {
  QSettings settings(FormStateFileName(keyPath), QSettings::IniFormat);
  if (!settings.isWritable())
    return;
  settings.setValue(SSplittersData, flags & fsSplitters ? GetSplittersData(form) : QString());
  settings.setValue(SPageControlsData,
                    flags & fsPageControls ? GetPageControlsData(form) : QString());
  QString activeControl;
  if (flags & fsActiveControl) {
    const QWidget* focused = form->focusWidget();
    activeControl = focused ? focused->objectName() : QString(SNoActiveControl);
  }
  settings.setValue(SActiveControl, activeControl);
  if (flags & fsSizeAndPos) {
    const std::optional<TWindowPlacement> placement = GetWindowPlacement(form);
    if (!placement)
      return;
    settings.setValue(SSizeAndPos, placement->ToBytes());
  } else {
    settings.setValue(SSizeAndPos, QByteArray());
  }
  if ((flags & fsExtInfo) && onSaveExtInfo) {
    QString text;
    onSaveExtInfo(form, text);
    settings.setValue(SExtInfo, text);
  }
}

void RestoreFormState(const QString& keyPath, QWidget* form,
                      const TRestoreExtInfoEvent& onRestoreExtInfo) {
  const QString fileName = FormStateFileName(keyPath);
  if (!QFileInfo(fileName).isFile()) {
    CentreOnPrimaryScreen(form);
    return;
  }
  const QSettings settings(fileName, QSettings::IniFormat);
  try {
    ApplySizeAndPos(settings, form);
    SetSplittersData(form, ReadString(settings, SSplittersData));
    SetPageControlsData(form, ReadString(settings, SPageControlsData));
    ApplyActiveControl(ReadString(settings, SActiveControl), form);
    if (onRestoreExtInfo)
      onRestoreExtInfo(form, ReadString(settings, SExtInfo));
  } catch (...) {
    // A damaged or foreign value ends the restore; what was applied stays.
  }
}

QString GetSplittersData(QWidget* form) {
  QString data;
  WalkControls(form, [&](QWidget* control) {
    if (auto* splitter = qobject_cast<QSplitter*>(control)) {
      if (QWidget* pane = FindSplitControl(splitter)) {
        const TSplitSide side = SplitSide(splitter);
        const int size = side == ssTop || side == ssBottom ? pane->height() : pane->width();
        data += splitter->objectName() + '=' + QString::number(size) + ';';
      }
    }
    return false;
  });
  return WithoutLastCharacter(data);
}

void SetSplittersData(QWidget* form, const QString& data) {
  ForEachEntry(data, [form](const QString& name, int size) {
    WalkControls(form, [&](QWidget* control) {
      auto* splitter = qobject_cast<QSplitter*>(control);
      if (!splitter || splitter->objectName() != name || !FindSplitControl(splitter))
        return false;
      ResizeSplitPane(splitter, SplitSide(splitter), size);
      return true;
    });
  });
}

QString GetPageControlsData(QWidget* form) {
  QString data;
  WalkControls(form, [&](QWidget* control) {
    if (auto* pages = qobject_cast<QTabWidget*>(control))
      data += pages->objectName() + '=' + QString::number(pages->currentIndex()) + ';';
    return false;
  });
  return WithoutLastCharacter(data);
}

void SetPageControlsData(QWidget* form, const QString& data) {
  ForEachEntry(data, [form](const QString& name, int index) {
    WalkControls(form, [&](QWidget* control) {
      auto* pages = qobject_cast<QTabWidget*>(control);
      if (!pages || pages->objectName() != name)
        return false;
      pages->setCurrentIndex(index);
      return true;
    });
  });
}

QWidget* FindSplitControl(QSplitter* splitter) {
  const TSplitSide side = SplitSide(splitter);
  if (side == ssNone)
    return nullptr;
  QWidget* pane = splitter->widget(PaneIndex(splitter, side));
  return !pane->isHidden() && pane->isEnabled() ? pane : nullptr;
}

QWidget* FindControlByName(QWidget* form, const QString& name) {
  for (QWidget* child : ChildControls(form)) {
    if (child->objectName().compare(name, Qt::CaseInsensitive) == 0)
      return child;
    if (QWidget* found = FindControlByName(child, name))
      return found;
  }
  return nullptr;
}

QByteArray TWindowPlacement::ToBytes() const {
  const int32_t fields[11] = {int32_t(Length),
                              int32_t(Flags),
                              int32_t(ShowCmd),
                              MinPosition[0],
                              MinPosition[1],
                              MaxPosition[0],
                              MaxPosition[1],
                              NormalPosition.left(),
                              NormalPosition.top(),
                              NormalPosition.left() + NormalPosition.width(),
                              NormalPosition.top() + NormalPosition.height()};
  QByteArray bytes(RecordSize, '\0');
  for (int i = 0; i < 11; ++i)
    qToLittleEndian(fields[i], bytes.data() + 4 * i);
  return bytes;
}

std::optional<TWindowPlacement> TWindowPlacement::FromBytes(const QByteArray& bytes) {
  if (bytes.size() != qsizetype(RecordSize))
    return std::nullopt;
  int32_t fields[11];
  for (int i = 0; i < 11; ++i)
    fields[i] = qFromLittleEndian<int32_t>(bytes.constData() + 4 * i);
  TWindowPlacement placement;
  placement.Length = uint32_t(fields[0]);
  placement.Flags = uint32_t(fields[1]);
  placement.ShowCmd = uint32_t(fields[2]);
  placement.MinPosition[0] = fields[3];
  placement.MinPosition[1] = fields[4];
  placement.MaxPosition[0] = fields[5];
  placement.MaxPosition[1] = fields[6];
  // Widths in 64 bits: a damaged record must not overflow into a negative size.
  const int64_t width = int64_t(fields[9]) - fields[7];
  const int64_t height = int64_t(fields[10]) - fields[8];
  placement.NormalPosition =
      QRect(fields[7], fields[8], int(std::clamp<int64_t>(width, 0, INT_MAX / 2)),
            int(std::clamp<int64_t>(height, 0, INT_MAX / 2)));
  return placement;
}

std::optional<TWindowPlacement> GetWindowPlacement(QWidget* form) {
  if (!form->isWindow())
    return std::nullopt;
  TWindowPlacement placement;
  const Qt::WindowStates state = form->windowState();
  if (state & Qt::WindowMinimized) {
    placement.ShowCmd = TWindowPlacement::SwShowMinimized;
    if (state & Qt::WindowMaximized)
      placement.Flags = TWindowPlacement::WpfRestoreToMaximized;
  } else if (state & Qt::WindowMaximized) {
    placement.ShowCmd = TWindowPlacement::SwShowMaximized;
  }
  placement.NormalPosition = form->normalGeometry();
  if (!placement.NormalPosition.isValid())
    placement.NormalPosition = form->geometry();
  return placement;
}

namespace {
QList<QRect> AvailableAreas() {
  QList<QRect> screens;
  for (const QScreen* screen : QGuiApplication::screens())
    screens.append(screen->availableGeometry());
  return screens;
}

// The frame's width on each side of form, as far as the window system has told it; until it
// has (before the window is first mapped), a caption as high as the style draws one is
// assumed above it.
QMargins FrameMargins(const QWidget* form) {
  const QRect frame = form->frameGeometry();
  const QRect inside = form->geometry();
  const QMargins known(inside.left() - frame.left(), inside.top() - frame.top(),
                       frame.right() - inside.right(), frame.bottom() - inside.bottom());
  if (!known.isNull())
    return known;
  return QMargins(0, form->style()->pixelMetric(QStyle::PM_TitleBarHeight), 0, 0);
}

// inside placed so that its frame lies on the nearest screen's available area.
QRect PlaceFrameOnNearestScreen(const QRect& inside, const QMargins& frame) {
  return PlaceOnNearestScreen(inside.marginsAdded(frame), AvailableAreas()).marginsRemoved(frame);
}
} // namespace

void KeepFrameOnScreen(QWidget* form) {
  if (form->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized))
    return;
  const QRect placed = PlaceFrameOnNearestScreen(form->geometry(), FrameMargins(form));
  if (placed != form->geometry())
    form->setGeometry(placed);
}

void SetWindowPlacement(QWidget* form, const TWindowPlacement& placement) {
  form->setWindowState(form->windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized));
  // The caption must stay in reach: the frame, not only the inside, lands on the screen.
  form->setGeometry(PlaceFrameOnNearestScreen(placement.NormalPosition, FrameMargins(form)));
  const bool maximized = placement.ShowCmd == TWindowPlacement::SwShowMaximized ||
                         (placement.ShowCmd == TWindowPlacement::SwShowMinimized &&
                          (placement.Flags & TWindowPlacement::WpfRestoreToMaximized));
  if (maximized)
    form->setWindowState(form->windowState() | Qt::WindowMaximized);
}

QRect PlaceOnNearestScreen(const QRect& rect, const QList<QRect>& screens) {
  if (screens.isEmpty())
    return rect;
  const QRect* best = nullptr;
  qint64 bestOverlap = 0;
  qint64 bestDistance = 0;
  for (const QRect& screen : screens) {
    if (screen.contains(rect))
      return rect;
    const QRect overlap = screen.intersected(rect);
    const qint64 overlapArea = qint64(overlap.width()) * overlap.height();
    const qint64 dx = std::max({0, screen.left() - rect.right(), rect.left() - screen.right()});
    const qint64 dy = std::max({0, screen.top() - rect.bottom(), rect.top() - screen.bottom()});
    const qint64 distance = dx * dx + dy * dy;
    if (!best || overlapArea > bestOverlap ||
        (overlapArea == 0 && bestOverlap == 0 && distance < bestDistance)) {
      best = &screen;
      bestOverlap = overlapArea;
      bestDistance = distance;
    }
  }
  const int width = std::min(rect.width(), best->width());
  const int height = std::min(rect.height(), best->height());
  const int left = std::clamp(rect.left(), best->left(), best->left() + best->width() - width);
  const int top = std::clamp(rect.top(), best->top(), best->top() + best->height() - height);
  return QRect(left, top, width, height);
}
