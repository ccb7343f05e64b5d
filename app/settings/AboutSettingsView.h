#pragma once
// The About tab: who the app is (icon, name, version, copyright), links to
// its documents on the product site, and the open-source components it ships.
// Thread-bound (main thread), both classes here.
#include <QAbstractButton>
#include <QIcon>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "app/installer/BuildInfo.h"
#include "app/settings/Acknowledgements.h"

class QLabel;

namespace tovrelle::settings {

// A text link that opens an address in the browser, optionally followed by
// the "external-link-symbolic" icon.
class LinkButton : public QAbstractButton {
  Q_OBJECT

 public:
  LinkButton(const QString& text, QUrl url, bool showsSymbol, QWidget* parent = nullptr);
  const QUrl& url() const { return url_; }
  bool showsSymbol() const { return showsSymbol_; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  static constexpr int kSymbolSide = 13;
  static constexpr int kSpacing = 6;
  QUrl url_;
  bool showsSymbol_;
  bool hovered_ = false;
};

class AboutSettingsView : public QWidget {
  Q_OBJECT

 public:
  using Dependency = settings::Dependency;

  // What the tab shows, from the running app by default.
  struct Environment {
    build_info::BuildValues info;
    QStringList preferredLanguages;
    QString webSiteBase;
    std::vector<Dependency> dependencies;
    QIcon icon;
    std::function<void(const QUrl&)> openURL;
  };
  static Environment currentEnvironment();

  explicit AboutSettingsView(QWidget* parent = nullptr);
  explicit AboutSettingsView(Environment environment, QWidget* parent = nullptr);

  // Display name, else name, else "Tovrelle".
  static QString appName(const build_info::BuildValues& info);
  // "about.version" with the short version and the build, "—" for a missing one.
  static QString versionLine(const build_info::BuildValues& info);
  // The build's copyright, else the built-in line.
  static QString copyright(const build_info::BuildValues& info);
  static const char* const kFallbackCopyright;

  struct DocumentLink {
    const char* key;
    QUrl url;
  };
  // The document rows that can be shown, in order (rows without an address left out).
  static std::vector<DocumentLink> documentLinks(const QStringList& preferredLanguages, const QString& webSiteBase);

  QLabel* iconLabel() const { return iconLabel_; }
  QLabel* nameLabel() const { return nameLabel_; }
  QLabel* versionLabel() const { return versionLabel_; }
  QLabel* copyrightLabel() const { return copyrightLabel_; }
  const std::vector<LinkButton*>& documentButtons() const { return documentButtons_; }
  // One per dependency, in list order: its name as a link, or a label when
  // its address does not parse.
  const std::vector<QWidget*>& dependencyNames() const { return dependencyNames_; }

 private:
  void build();
  QWidget* makeDependencyBlock(const Dependency& dependency, QWidget* parent);

  Environment environment_;
  QLabel* iconLabel_ = nullptr;
  QLabel* nameLabel_ = nullptr;
  QLabel* versionLabel_ = nullptr;
  QLabel* copyrightLabel_ = nullptr;
  std::vector<LinkButton*> documentButtons_;
  std::vector<QWidget*> dependencyNames_;
};

}  // namespace tovrelle::settings
