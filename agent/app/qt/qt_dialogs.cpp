// The options dialog of a site and the program settings dialog; the text and
// icon helpers every window of the front end uses.
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include "agent/app/program_settings.h"
#include "agent/app/qt/qt_windows.h"
#include "agent/app/string_table.h"
#include "agent/service/site_passwords.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr int kHighestTypedNumber = 99999;

struct ProxyField {
  uint32_t textId;
  const char16_t* valueName;
  int chars;  // what the field takes: the limit without its terminator
};

}  // namespace

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToWide(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

QString Text(uint32_t id) {
  const char16_t* text = LoadResourceString(id);
  return text != nullptr ? QString::fromUtf16(text) : QString::number(id);
}

QIcon ProductIcon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter paint(&pixmap);
    paint.setRenderHint(QPainter::Antialiasing);
    paint.setBrush(QColor(0x2E, 0x5E, 0x8C));
    paint.setPen(Qt::NoPen);
    paint.drawRoundedRect(QRectF(0, size * 0.2, size, size * 0.6), size * 0.12, size * 0.12);
    paint.setBrush(QColor(0xF2, 0xB1, 0x34));
    paint.drawEllipse(QRectF(size * 0.68, size * 0.42, size * 0.16, size * 0.16));
    paint.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

OptionsDialog::OptionsDialog(SiteManager& manager, SiteStore& store, int row, QWidget* parent)
    : QDialog(parent), manager_(manager), store_(store), row_(row) {
  setWindowTitle(Text(IDS_OPT_TITLE) + " - " + ToQString(store.Name(row)));
  auto* layout = new QVBoxLayout(this);
  auto* timeouts = new QGroupBox(Text(IDS_OPT_TIMEOUTS));
  auto* form = new QFormLayout(timeouts);
  AddNumber(*form, IDS_OPT_RESOLVE, u"Resolve");
  AddNumber(*form, IDS_OPT_CONNECT, u"Connect");
  AddNumber(*form, IDS_OPT_SEND, u"Send");
  AddNumber(*form, IDS_OPT_RECEIVE, u"Receive");
  layout->addWidget(timeouts);
  auto* other = new QFormLayout();
  AddNumber(*other, IDS_OPT_RETRY, u"Retry");
  AddNumber(*other, IDS_OPT_REFRESH, u"Refresh");
  layout->addLayout(other);
  auto* checks = new QVBoxLayout();
  AddCheck(*checks, IDS_OPT_PASSIVE, u"Passive");
  AddCheck(*checks, IDS_CONNECT_AT_STARTUP, u"Auto");
  AddCheck(*checks, IDS_OPT_ACTIVE_REFRESH, u"ActiveRefresh");
  AddCheck(*checks, IDS_OPT_PROPFIND_GET, u"PropfindGet");
  AddCheck(*checks, IDS_OPT_IGNORE_CERT, u"ignoreCertificateWarning");
  layout->addLayout(checks);
  auto* offline = new QGroupBox(Text(IDS_OPT_OFFLINE));
  auto* offlineChecks = new QVBoxLayout(offline);
  AddCheck(*offlineChecks, IDS_OPT_SYN_CON, u"SynByCon");
  AddCheck(*offlineChecks, IDS_OPT_SYN_DISCON, u"SynByDiscon");
  layout->addWidget(offline);
  auto* close = new QDialogButtonBox(QDialogButtonBox::Close);
  close->button(QDialogButtonBox::Close)->setText(Text(IDS_SET_CLOSE));
  connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(close);
  Show();
}

void OptionsDialog::AddNumber(QFormLayout& form, uint32_t textId, const char16_t* valueName) {
  auto* box = new QSpinBox();
  box->setRange(0, kHighestTypedNumber);
  box->setObjectName(ToQString(valueName));
  numbers_[valueName] = box;
  form.addRow(Text(textId), box);
  connect(box, &QSpinBox::editingFinished, this, [this, box, valueName] {
    Write(valueName, static_cast<DWORD>(box->value()));
  });
}

void OptionsDialog::AddCheck(QVBoxLayout& layout, uint32_t textId, const char16_t* valueName) {
  auto* box = new QCheckBox(Text(textId));
  box->setObjectName(ToQString(valueName));
  checks_[valueName] = box;
  layout.addWidget(box);
  connect(box, &QCheckBox::toggled, this, [this, valueName](bool on) {
    std::u16string_view name(valueName);
    DWORD value = on ? 1 : 0;
    if (name == u"Passive") value = on ? 2 : 0;
    if (name == u"SynByCon") value = kSyncUserSet | (on ? kSiteSynByCon : 0);
    if (name == u"SynByDiscon") value = kSyncUserSet | (on ? kSiteSynByDiscon : 0);
    Write(valueName, value);
  });
}

// One value written at once; the controls then show what was stored.
void OptionsDialog::Write(const char16_t* valueName, DWORD value) {
  if (store_.Name(row_).empty()) return;
  manager_.SetOption(row_, valueName, value);
  Show();
}

void OptionsDialog::Show() {
  const SiteRecord& r = store_.Record(row_);
  const std::pair<const char16_t*, uint32_t> numbers[] = {
      {u"Resolve", r.resolveTimeout}, {u"Connect", r.connectTimeout}, {u"Send", r.sendTimeout},
      {u"Receive", r.receiveTimeout}, {u"Retry", r.retryCount},       {u"Refresh", r.refreshMinutes}};
  for (const auto& [name, value] : numbers) {
    QSignalBlocker quiet(numbers_[name]);
    numbers_[name]->setValue(static_cast<int>(std::min<uint32_t>(value, kHighestTypedNumber)));
  }
  const std::pair<const char16_t*, bool> checks[] = {
      {u"Passive", r.passive != 0},
      {u"Auto", r.autoConnect != 0},
      {u"ActiveRefresh", (r.flags & kSiteActiveRefresh) != 0},
      {u"PropfindGet", (r.flags & kSitePropfindGet) != 0},
      {u"ignoreCertificateWarning", r.ignoreCertificateWarning != 0},
      {u"SynByCon", (r.flags & kSiteSynByCon) != 0},
      {u"SynByDiscon", (r.flags & kSiteSynByDiscon) != 0}};
  for (const auto& [name, on] : checks) {
    QSignalBlocker quiet(checks_[name]);
    checks_[name]->setChecked(on);
  }
}

QSpinBox* OptionsDialog::number(const char16_t* valueName) const {
  auto it = numbers_.find(valueName);
  return it != numbers_.end() ? it->second : nullptr;
}

QCheckBox* OptionsDialog::check(const char16_t* valueName) const {
  auto it = checks_.find(valueName);
  return it != checks_.end() ? it->second : nullptr;
}

ProgramSettingsDialog::ProgramSettingsDialog(SharedUserBlock& block, QWidget* parent)
    : QDialog(parent), block_(block) {
  setWindowTitle(Text(IDS_PROGRAM_SETTINGS));
  ProgramSettings settings = ReadProgramSettings();
  auto* layout = new QVBoxLayout(this);
  auto* proxy = new QGroupBox(Text(IDS_SET_PROXY));
  auto* proxyLayout = new QVBoxLayout(proxy);
  const uint32_t modeTexts[] = {IDS_SET_PROXY_AUTO, IDS_SET_PROXY_MANUAL, IDS_SET_PROXY_NONE};
  for (int mode : {static_cast<int>(ProxyMode::kNone), static_cast<int>(ProxyMode::kAutomatic),
                   static_cast<int>(ProxyMode::kManual)}) {
    modes_[mode] = new QRadioButton(Text(modeTexts[mode]));
    modes_[mode]->setChecked(static_cast<int>(settings.mode) == mode);
    proxyLayout->addWidget(modes_[mode]);
    connect(modes_[mode], &QRadioButton::toggled, this, [this, mode](bool on) {
      if (!on) return;
      SetProxyMode(static_cast<ProxyMode>(mode));
      Applied();
    });
  }
  auto* form = new QFormLayout();
  AddField(*form, IDS_SET_SERVER, u"ProxyServer", kProxyServerChars - 1)->setText(ToQString(settings.server));
  QLineEdit* port = AddField(*form, IDS_SET_PORT, u"ProxyPort", kProxyPortDigits);
  port->setValidator(new QIntValidator(0, 9999, port));
  if (settings.port != 0) port->setText(QString::number(settings.port));
  AddField(*form, IDS_SET_BYPASS, u"ProxyBypass", kProxyBypassChars - 1)->setText(ToQString(settings.bypass));
  AddField(*form, IDS_UI_LOGIN, u"ProxyUser", kProxyUserChars - 1)->setText(ToQString(settings.user));
  QLineEdit* password = AddField(*form, IDS_UI_PASSWORD, u"ProxyPassword", kProxyPasswordChars - 1);
  password->setEchoMode(QLineEdit::Password);
  password->setText(ToQString(settings.password));
  proxyLayout->addLayout(form);
  auto* hint = new QLabel(Text(IDS_PROXY_HINT));
  hint->setWordWrap(true);
  proxyLayout->addWidget(hint);
  layout->addWidget(proxy);

  runAtStartup_ = new QCheckBox(Text(IDS_RUN_AT_STARTUP));
  runAtStartup_->setChecked(RunAtStartupEnabled());
  connect(runAtStartup_, &QCheckBox::toggled, this, [this](bool on) {
    if (!SetRunAtStartup(on)) {
      QSignalBlocker quiet(runAtStartup_);
      runAtStartup_->setChecked(RunAtStartupEnabled());
    }
  });
  layout->addWidget(runAtStartup_);
  auto* close = new QDialogButtonBox(QDialogButtonBox::Close);
  close->button(QDialogButtonBox::Close)->setText(Text(IDS_SET_CLOSE));
  connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(close);
}

QLineEdit* ProgramSettingsDialog::AddField(QFormLayout& form, uint32_t textId, const char16_t* valueName,
                                           int chars) {
  auto* field = new QLineEdit();
  field->setMaxLength(chars);
  field->setObjectName(ToQString(valueName));
  fields_[valueName] = field;
  form.addRow(Text(textId), field);
  connect(field, &QLineEdit::editingFinished, this, [this, field, valueName] {
    if (std::u16string_view(valueName) == u"ProxyPort")
      SetProxyPort(ToWide(field->text()), &block_);
    else
      SetProxyString(valueName, ToWide(field->text()), &block_);
    Applied();
  });
  return field;
}

// New connections use the proxy as it is stored now.
void ProgramSettingsDialog::Applied() { ApplyProxySettings(ReadProgramSettings()); }

QLineEdit* ProgramSettingsDialog::field(const char16_t* valueName) const {
  auto it = fields_.find(valueName);
  return it != fields_.end() ? it->second : nullptr;
}

}  // namespace hvm
