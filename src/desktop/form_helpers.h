#pragma once
// Small helpers the dialogs share for building their fixed layouts.

#include <QLabel>
#include <QPoint>
#include <QString>
#include <string_view>

namespace vistarium::desktop {

inline QString FromStd(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A named label sized to its text, with its top-left corner at `at`.
inline QLabel* PlacedLabel(QWidget* parent, const char* name, const QString& text, QPoint at) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->adjustSize();
  label->move(at);
  return label;
}

}  // namespace vistarium::desktop
