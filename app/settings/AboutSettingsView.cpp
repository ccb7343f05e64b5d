#include "app/settings/AboutSettingsView.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/settings/Icons.h"
#include "app/settings/SettingsStyle.h"
#include "app/settings/WebPage.h"
#include "platform/log/Log.h"

namespace tovrelle::settings {
namespace {

const QString kMissingValue = QStringLiteral("\u2014");

std::optional<QString> infoText(const build_info::BuildValues& info, const char* key) {
  auto value = build_info::buildValue(info, key);
  // An empty value says as little as a missing one.
  if (!value || value->empty()) return std::nullopt;
  return QString::fromStdString(*value);
}

QFrame* makeDivider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QLabel* makeHeader(const char* key, QWidget* parent) {
  auto* label = new QLabel(text(key), parent);
  label->setFont(settings::font(*parent, TextStyle::Headline));
  label->setAccessibleName(text(key));
  return label;
}

}  // namespace

const char* const AboutSettingsView::kFallbackCopyright = "Copyright \u00A9 Velkari";

// --- LinkButton

LinkButton::LinkButton(const QString& label, QUrl url, bool showsSymbol, QWidget* parent)
    : QAbstractButton(parent), url_(std::move(url)), showsSymbol_(showsSymbol) {
  setText(label);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  setAccessibleName(label);
  setAccessibleDescription(settings::text("about.link.hint"));
  setToolTip(url_.toString());
}

QSize LinkButton::sizeHint() const {
  const QFontMetrics metrics(font());
  int width = metrics.horizontalAdvance(text()) + 2;
  if (showsSymbol_) width += kSpacing + kSymbolSide;
  return {width, std::max(metrics.height(), kSymbolSide) + 4};
}

void LinkButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor color = isDown() ? linkColor(*this).darker(130) : linkColor(*this);
  QFont f = font();
  f.setUnderline(hovered_ || hasFocus());
  painter.setFont(f);
  painter.setPen(color);
  const QFontMetrics metrics(f);
  const int textWidth = metrics.horizontalAdvance(text());
  const QRect textRect(0, 0, textWidth, height());
  painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, text());
  if (showsSymbol_) {
    const QPixmap symbol = icons::pixmap(QStringLiteral("external-link-symbolic"), QSize(kSymbolSide, kSymbolSide),
                                         color, devicePixelRatioF());
    if (!symbol.isNull())
      painter.drawPixmap(QPoint(textRect.right() + 1 + kSpacing, (height() - kSymbolSide) / 2), symbol);
  }
}

void LinkButton::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void LinkButton::leaveEvent(QEvent* event) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

// --- AboutSettingsView

AboutSettingsView::Environment AboutSettingsView::currentEnvironment() {
  return Environment{
      build_info::appBuildInfo(),
      preferredLanguages(),
      webSiteBaseAddress(),
      acknowledgementsOfThisProgram(),
      applicationIcon(),
      [](const QUrl& url) {
        if (!QDesktopServices::openUrl(url))
          log::processLog("AboutSettingsView: could not open %s", url.toString().toUtf8().constData());
      },
  };
}

AboutSettingsView::AboutSettingsView(QWidget* parent) : AboutSettingsView(currentEnvironment(), parent) {}

AboutSettingsView::AboutSettingsView(Environment environment, QWidget* parent)
    : QWidget(parent), environment_(std::move(environment)) {
  build();
}

QString AboutSettingsView::appName(const build_info::BuildValues& info) {
  if (auto name = infoText(info, build_info::kDisplayNameKey)) return *name;
  if (auto name = infoText(info, build_info::kNameKey)) return *name;
  return QStringLiteral("Tovrelle");
}

QString AboutSettingsView::versionLine(const build_info::BuildValues& info) {
  const QString format = text("about.version", QStringLiteral("Version %1 (%2)"));
  return format.arg(infoText(info, build_info::kShortVersionKey).value_or(kMissingValue),
                    infoText(info, build_info::kVersionKey).value_or(kMissingValue));
}

QString AboutSettingsView::copyright(const build_info::BuildValues& info) {
  return infoText(info, build_info::kCopyrightKey).value_or(QString::fromUtf8(kFallbackCopyright));
}

std::vector<AboutSettingsView::DocumentLink> AboutSettingsView::documentLinks(const QStringList& languages,
                                                                              const QString& base) {
  std::vector<DocumentLink> links;
  auto add = [&links](const char* key, const std::optional<QUrl>& url) {
    if (url) links.push_back({key, *url});
  };
  add("about.link.terms", webPageURL(QStringLiteral("terms"), languages, base));
  add("about.link.privacy", webPageURL(QStringLiteral("privacy"), languages, base));
  if (showsLegalDisclosure(languages)) add("about.link.tokushoho", legalDisclosureURL(base));
  add("about.link.support", webPageURL(QStringLiteral("support"), languages, base));
  return links;
}

void AboutSettingsView::build() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* scroll = new QScrollArea(this);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  outer->addWidget(scroll);

  auto* page = new QWidget(scroll);
  page->setAutoFillBackground(false);
  scroll->setWidget(page);
  scroll->viewport()->setAutoFillBackground(false);
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(20, 20, 20, 20);
  column->setSpacing(20);

  // Header: icon, then name, version and copyright.
  auto* header = new QHBoxLayout;
  header->setSpacing(16);
  header->setAlignment(Qt::AlignTop);
  iconLabel_ = new QLabel(page);
  iconLabel_->setFixedSize(64, 64);
  const QIcon icon = environment_.icon.isNull() ? applicationIcon() : environment_.icon;
  iconLabel_->setPixmap(icon.pixmap(QSize(64, 64), devicePixelRatioF()));
  iconLabel_->setScaledContents(true);
  // Decorative: the name next to it says the same.
  hideFromAccessibility(*iconLabel_);
  header->addWidget(iconLabel_, 0, Qt::AlignTop);

  auto* identity = new QVBoxLayout;
  identity->setSpacing(4);
  nameLabel_ = new QLabel(appName(environment_.info), page);
  nameLabel_->setFont(settings::font(*page, TextStyle::Title2));
  nameLabel_->setAccessibleName(nameLabel_->text());
  identity->addWidget(nameLabel_);
  versionLabel_ = new QLabel(versionLine(environment_.info), page);
  setSecondary(*versionLabel_, TextStyle::Callout);
  versionLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  versionLabel_->setAccessibleName(versionLabel_->text());
  identity->addWidget(versionLabel_);
  copyrightLabel_ = new QLabel(copyright(environment_.info), page);
  setSecondary(*copyrightLabel_, TextStyle::Footnote);
  copyrightLabel_->setWordWrap(true);
  copyrightLabel_->setContentsMargins(0, 2, 0, 0);
  copyrightLabel_->setAccessibleName(copyrightLabel_->text());
  identity->addWidget(copyrightLabel_);
  header->addLayout(identity, 1);
  column->addLayout(header);

  column->addWidget(makeDivider(page));

  // Documents.
  auto* documents = new QVBoxLayout;
  documents->setSpacing(8);
  documents->addWidget(makeHeader("about.section.documents", page));
  for (const DocumentLink& link : documentLinks(environment_.preferredLanguages, environment_.webSiteBase)) {
    auto* button = new LinkButton(text(link.key), link.url, true, page);
    button->setObjectName(QString::fromLatin1(link.key));
    connect(button, &LinkButton::clicked, this, [this, url = link.url] {
      if (environment_.openURL) environment_.openURL(url);
    });
    documentButtons_.push_back(button);
    documents->addWidget(button, 0, Qt::AlignLeft);
  }
  column->addLayout(documents);

  column->addWidget(makeDivider(page));

  // Open source.
  auto* openSource = new QVBoxLayout;
  openSource->setSpacing(8);
  openSource->addWidget(makeHeader("about.section.openSource", page));
  for (const Dependency& dependency : environment_.dependencies)
    openSource->addWidget(makeDependencyBlock(dependency, page));
  column->addLayout(openSource);
  column->addStretch(1);
}

QWidget* AboutSettingsView::makeDependencyBlock(const Dependency& dependency, QWidget* parent) {
  auto* block = new QWidget(parent);
  auto* layout = new QVBoxLayout(block);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  QWidget* name = nullptr;
  if (auto url = parseWebAddress(dependency.url)) {
    auto* button = new LinkButton(dependency.name, *url, false, block);
    connect(button, &LinkButton::clicked, this, [this, target = *url] {
      if (environment_.openURL) environment_.openURL(target);
    });
    name = button;
  } else {
    auto* label = new QLabel(dependency.name, block);
    label->setTextFormat(Qt::PlainText);
    label->setAccessibleName(dependency.name);
    name = label;
  }
  name->setObjectName(dependency.name);
  layout->addWidget(name, 0, Qt::AlignLeft);
  auto* details = new QLabel(dependency.author + QStringLiteral(" \u2014 ") + dependency.license, block);
  details->setTextFormat(Qt::PlainText);
  details->setWordWrap(true);
  setSecondary(*details, TextStyle::Footnote);
  layout->addWidget(details);
  dependencyNames_.push_back(name);
  block->setAccessibleName(dependency.name);
  return block;
}

}  // namespace tovrelle::settings
