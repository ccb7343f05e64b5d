#pragma once
// A settings row: a label and the shortcut field for one name, the label on
// the field's text baseline.
// Thread-bound (main thread), as every widget.
#include <QWidget>

#include "app/shortcuts/ShortcutField.h"

namespace KeyboardShortcuts {

class ShortcutRow : public QWidget {
  Q_OBJECT

 public:
  ShortcutRow(ShortcutRegistry& registry, const Name& name, ShortcutField::OnChange onChange, const QString& label,
              QWidget* parent = nullptr);
  // Any widget as the label.
  ShortcutRow(ShortcutRegistry& registry, const Name& name, ShortcutField::OnChange onChange, QWidget* labelView,
              QWidget* parent = nullptr);

  ShortcutField* field() const { return field_; }
  QWidget* labelView() const { return label_; }

 private:
  ShortcutField* field_;
  QWidget* label_;
};

}  // namespace KeyboardShortcuts
