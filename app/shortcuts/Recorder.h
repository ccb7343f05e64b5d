#pragma once
// A settings row: a label and the recorder field for one name, the label on
// the field's text baseline.
#include <QWidget>

#include "app/shortcuts/RecorderCocoa.h"

class QLabel;

namespace KeyboardShortcuts {

class Recorder : public QWidget {
  Q_OBJECT

 public:
  Recorder(const Name& name, RecorderCocoa::OnChange onChange, const QString& label, QWidget* parent = nullptr);
  // Any widget as the label.
  Recorder(const Name& name, RecorderCocoa::OnChange onChange, QWidget* labelView, QWidget* parent = nullptr);

  RecorderCocoa* control() const { return control_; }
  QWidget* labelView() const { return label_; }

 private:
  RecorderCocoa* control_;
  QWidget* label_;
};

}  // namespace KeyboardShortcuts
