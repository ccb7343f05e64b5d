#pragma once
// The app's item in the panel: a symbol image, an accessibility label and a
// tool tip, and a click that the delegate turns into the popover. The tray
// backend draws on QSystemTrayIcon (StatusNotifierItem over D-Bus where a
// panel hosts those, XEmbed otherwise); tests use a recording stand-in.
#include <QIcon>
#include <QObject>
#include <QRect>
#include <QString>

class QSystemTrayIcon;

namespace tovrelle {

class StatusItem : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // False when there is nothing to draw into.
  virtual bool hasButton() const = 0;
  // The symbol shown, by name (see symbols::names()); empty shows nothing.
  virtual void setImage(const QString& symbolName) = 0;
  virtual QString imageName() const = 0;
  virtual void setAccessibilityLabel(const QString& label) = 0;
  virtual QString accessibilityLabel() const = 0;
  virtual void setToolTip(const QString& toolTip) = 0;
  virtual QString toolTip() const = 0;
  // Where the item sits on screen, when the panel tells; empty otherwise.
  virtual QRect buttonGeometry() const = 0;

 signals:
  // The user clicked the item.
  void activated();
};

// The system tray. Images are drawn as template images in the panel's text
// colour and redrawn when the colour scheme changes.
class TrayStatusItem final : public StatusItem {
  Q_OBJECT

 public:
  explicit TrayStatusItem(QObject* parent = nullptr);
  ~TrayStatusItem() override;

  bool hasButton() const override { return true; }
  void setImage(const QString& symbolName) override;
  QString imageName() const override { return imageName_; }
  void setAccessibilityLabel(const QString& label) override { accessibilityLabel_ = label; }
  QString accessibilityLabel() const override { return accessibilityLabel_; }
  void setToolTip(const QString& toolTip) override;
  QString toolTip() const override;
  QRect buttonGeometry() const override;

  // The colour template images take in the panel.
  static QColor panelTextColor();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void redraw();

  QSystemTrayIcon* tray_;
  QString imageName_;
  QString accessibilityLabel_;
};

}  // namespace tovrelle
