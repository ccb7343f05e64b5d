#include "app/shortcuts/ShortcutRow.h"

#include <QGridLayout>
#include <QLabel>

namespace KeyboardShortcuts {
namespace {

QLabel* makeLabel(const QString& text) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

ShortcutRow::ShortcutRow(ShortcutRegistry& registry, const Name& name, ShortcutField::OnChange onChange,
                         const QString& label, QWidget* parent)
    : ShortcutRow(registry, name, std::move(onChange), makeLabel(label), parent) {
  if (auto* text = qobject_cast<QLabel*>(label_)) text->setBuddy(field_);
}

ShortcutRow::ShortcutRow(ShortcutRegistry& registry, const Name& name, ShortcutField::OnChange onChange,
                         QWidget* labelView, QWidget* parent)
    : QWidget(parent), field_(new ShortcutField(registry, name, std::move(onChange), this)), label_(labelView) {
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(label_, 0, 0, Qt::AlignLeft | Qt::AlignBaseline);
  layout->addWidget(field_, 0, 1, Qt::AlignRight | Qt::AlignBaseline);
  layout->setColumnStretch(0, 1);
}

}  // namespace KeyboardShortcuts
