// SPDX-License-Identifier: MIT
//
// main_window.cpp - the trirotor window: decode on the UI thread, encode beside it.
//
// The decoder is called synchronously from a button's slot, as it was
// written to be. Its pauses deliver Qt's pending events (gui/hooks.cpp), so
// the window repaints and the Abort button answers while the slot is still
// running; everything else is disabled for that time, and each slot also
// refuses to start while a run is in progress, because a second decode inside
// the first would share the engine's state. The encoder has no pauses, so it
// runs on a thread of its own while the slot waits in a local event loop
// (gui/encoder_thread.cpp). Files are read in gui/file_loading.cpp, key
// files with the command line's own reader.

#include "gui/main_window.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QStatusBar>
#include <QVBoxLayout>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "engine/trirotor.h"
#include "gui/file_loading.h"
#include "gui/hooks.h"
#include "support/key_file.h"

namespace trirotor::gui {
namespace {


// QString holds UTF-16, the engine's own text form: no copy is needed.
std::u16string_view AsView(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

QString FromEngine(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

QString FromEngine(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString FormatEngineError(const EngineError& error) {
  return QObject::tr("Error %1 in %2: %3")
      .arg(error.number())
      .arg(QString::fromStdString(error.source()), QString::fromStdString(error.description()));
}

std::u16string SealText(std::u16string_view plain, std::u16string_view key, std::u16string_view keySuffix) {
  return EncodeText(plain, key, keySuffix);  // a random header every time
}

}  // namespace

/// Building the window ///

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(tr("trirotor"));
  setAcceptDrops(true);
  BuildWidgets();
  FillCodePages();
  ShowStatus(tr("Open, drop or paste a message, enter its key, then Decode."));
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildWidgets() {
  controls_ = new QWidget;
  auto* layout = new QVBoxLayout(controls_);

  inputBox_ = new QGroupBox(tr("Input: a message to decode, or a plain text to encode"));
  auto* inputLayout = new QVBoxLayout(inputBox_);
  auto* inputButtons = new QHBoxLayout;
  auto* openButton = new QPushButton(tr("&Open\u2026"));
  openButton->setObjectName("openButton");
  openButton->setShortcut(QKeySequence::Open);
  auto* pasteButton = new QPushButton(tr("&Paste"));
  pasteButton->setObjectName("pasteButton");
  auto* clearButton = new QPushButton(tr("C&lear"));
  clearButton->setObjectName("clearButton");
  inputButtons->addWidget(openButton);
  inputButtons->addWidget(pasteButton);
  inputButtons->addWidget(clearButton);
  inputButtons->addStretch();
  inputEdit_ = new QPlainTextEdit;
  inputEdit_->setObjectName("inputEdit");
  inputEdit_->setPlaceholderText(tr("Paste a message here, or drop a file on the window."));
  // A file dropped on the pane is loaded by the window, not pasted as a URL.
  inputEdit_->setAcceptDrops(false);
  inputEdit_->viewport()->setAcceptDrops(false);
  inputLayout->addLayout(inputButtons);
  inputLayout->addWidget(inputEdit_);
  layout->addWidget(inputBox_, 1);

  auto* keyForm = new QFormLayout;
  keyEdit_ = new QLineEdit;
  keyEdit_->setObjectName("keyEdit");
  keyEdit_->setEchoMode(QLineEdit::Password);
  suffixEdit_ = new QLineEdit;
  suffixEdit_->setObjectName("suffixEdit");
  suffixEdit_->setPlaceholderText(tr("(none)"));
  codePageBox_ = new QComboBox;
  codePageBox_->setObjectName("codePageBox");
  auto* keyFileButton = new QPushButton(tr("Key &file\u2026"));
  keyFileButton->setObjectName("keyFileButton");
  auto* suffixFileButton = new QPushButton(tr("Suffi&x file\u2026"));
  suffixFileButton->setObjectName("suffixFileButton");
  auto* keyRow = new QHBoxLayout;
  keyRow->addWidget(keyEdit_, 1);
  keyRow->addWidget(keyFileButton);
  auto* suffixRow = new QHBoxLayout;
  suffixRow->addWidget(suffixEdit_, 1);
  suffixRow->addWidget(suffixFileButton);
  // A row of a field and its button: the label's shortcut goes to the field.
  auto* keyLabel = new QLabel(tr("&Key:"));
  keyLabel->setBuddy(keyEdit_);
  auto* suffixLabel = new QLabel(tr("Key &suffix:"));
  suffixLabel->setBuddy(suffixEdit_);
  keyForm->addRow(keyLabel, keyRow);
  keyForm->addRow(suffixLabel, suffixRow);
  keyForm->addRow(tr("Code &page:"), codePageBox_);
  layout->addLayout(keyForm);

  auto* runButtons = new QHBoxLayout;
  decodeButton_ = new QPushButton(tr("&Decode"));
  decodeButton_->setObjectName("decodeButton");
  encodeButton_ = new QPushButton(tr("&Encode"));
  encodeButton_->setObjectName("encodeButton");
  runButtons->addStretch();
  runButtons->addWidget(decodeButton_);
  runButtons->addWidget(encodeButton_);
  layout->addLayout(runButtons);

  resultBox_ = new QGroupBox(tr("Result"));
  auto* resultLayout = new QVBoxLayout(resultBox_);
  auto* resultButtons = new QHBoxLayout;
  auto* copyButton = new QPushButton(tr("&Copy"));
  copyButton->setObjectName("copyButton");
  auto* saveButton = new QPushButton(tr("Save &as\u2026"));
  saveButton->setObjectName("saveButton");
  saveButton->setShortcut(QKeySequence::Save);
  resultButtons->addWidget(copyButton);
  resultButtons->addWidget(saveButton);
  resultButtons->addStretch();
  resultEdit_ = new QPlainTextEdit;
  resultEdit_->setObjectName("resultEdit");
  resultEdit_->setReadOnly(true);
  resultEdit_->setAcceptDrops(false);
  resultEdit_->viewport()->setAcceptDrops(false);
  resultLayout->addLayout(resultButtons);
  resultLayout->addWidget(resultEdit_);
  layout->addWidget(resultBox_, 1);

  setCentralWidget(controls_);

  statusLabel_ = new QLabel;
  statusLabel_->setObjectName("statusLabel");
  statusLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  progressBar_ = new QProgressBar;
  progressBar_->setObjectName("progressBar");
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  progressBar_->setMaximumWidth(200);
  abortButton_ = new QPushButton(tr("Abort"));
  abortButton_->setObjectName("abortButton");
  abortButton_->setShortcut(Qt::Key_Escape);
  abortButton_->setEnabled(false);
  statusBar()->addWidget(statusLabel_, 1);
  statusBar()->addPermanentWidget(progressBar_);
  statusBar()->addPermanentWidget(abortButton_);

  connect(openButton, &QPushButton::clicked, this, &MainWindow::OpenFile);
  connect(keyFileButton, &QPushButton::clicked, this, &MainWindow::OpenKeyFile);
  connect(suffixFileButton, &QPushButton::clicked, this, &MainWindow::OpenSuffixFile);
  connect(pasteButton, &QPushButton::clicked, this, &MainWindow::PasteInput);
  connect(clearButton, &QPushButton::clicked, this, &MainWindow::ClearInput);
  connect(decodeButton_, &QPushButton::clicked, this, &MainWindow::Decode);
  connect(encodeButton_, &QPushButton::clicked, this, &MainWindow::Encode);
  connect(abortButton_, &QPushButton::clicked, this, &MainWindow::Abort);
  connect(copyButton, &QPushButton::clicked, this, &MainWindow::CopyResult);
  connect(saveButton, &QPushButton::clicked, this, &MainWindow::SaveResult);
  connect(inputEdit_, &QPlainTextEdit::textChanged, this, [this] {
    // Typing replaces a held text: from now on the pane is the input.
    if (fillingInput_ || !inputHeld_) return;
    heldInput_.clear();
    inputHeld_ = false;
    inputBox_->setTitle(tr("Input: a message to decode, or a plain text to encode"));
  });
  resize(760, 640);
}

void MainWindow::FillCodePages() {
  const int current = platform::CodePage();
  // The library's list: the pages it accepts on this system, no more; those
  // that convert by Windows' own tables marked as the tool marks them.
  for (const platform::CodePageInfo& page : platform::SupportedCodePages()) {
    const QString name = QString::fromLatin1(page.name.data(), static_cast<qsizetype>(page.name.size()));
    codePageBox_->addItem(
        QStringLiteral("%1 \u2013 %2 (%3)")
            .arg(page.number)
            .arg(tr(std::string(page.description).c_str()),
                 page.windowsTables ? tr("%1; Windows' own tables, best fit included").arg(name) : name),
        page.number);
  }
  int index = codePageBox_->findData(current);
  if (index < 0) {
    // A page set before the window was made, outside the usual list.
    codePageBox_->addItem(QString::number(current), current);
    index = codePageBox_->count() - 1;
  }
  codePageBox_->setCurrentIndex(index);
  connect(codePageBox_, &QComboBox::currentIndexChanged, this, &MainWindow::SelectCodePage);
}

void MainWindow::SelectCodePage(int index) {
  if (index < 0) return;
  const int codePage = codePageBox_->itemData(index).toInt();
  try {
    platform::SetCodePage(codePage);
    ShowStatus(tr("Code page %1.").arg(codePage));
  } catch (const std::invalid_argument& error) {
    ShowStatus(QString::fromStdString(error.what()));
    const QSignalBlocker blocker(codePageBox_);
    codePageBox_->setCurrentIndex(codePageBox_->findData(platform::CodePage()));
  }
}

/// Input and result ///

bool MainWindow::LoadInputFile(const QString& path) {
  if (running_) return false;
  LoadedFile loaded = LoadTextFile(path, kMaxFileBytes);
  if (!loaded.ok) {
    ShowStatus(loaded.error);
    return false;
  }
  SetInputText(loaded.text, QFileInfo(path).fileName());
  ShowStatus(tr("Loaded %1 (%2 characters, read as %3).")
                 .arg(path, QLocale().toString(static_cast<qlonglong>(loaded.text.size())), loaded.how));
  return true;
}

bool MainWindow::LoadKeyFile(const QString& path, KeyField field) {
  if (running_) return false;
  const bool isKey = field == KeyField::kKey;
  std::u16string text;
  try {
    text = support::ReadKeyFile(path.toStdString(), isKey ? "the key file" : "the suffix file");
  } catch (const support::KeyFileError& error) {
    ShowStatus(QString::fromStdString(error.what()));
    return false;
  }
  if (isKey && text.empty()) {
    ShowStatus(tr("The key file %1 is empty; a message needs a key of at least one character.").arg(path));
    return false;
  }
  (isKey ? keyEdit_ : suffixEdit_)->setText(FromEngine(text));
  ShowStatus(isKey ? tr("Key read from %1.").arg(path) : tr("Key suffix read from %1.").arg(path));
  return true;
}

void MainWindow::SetInputText(const QString& text, const QString& origin) {
  fillingInput_ = true;
  heldInput_ = text;
  inputHeld_ = true;
  if (text.size() > kPaneShowLimit) {
    inputEdit_->clear();
    inputEdit_->setReadOnly(true);
    inputEdit_->setPlaceholderText(
        tr("%1: %2 characters, too long to show here. Decode and Encode use it as it is; Clear to "
           "type a new input.")
            .arg(origin, QLocale().toString(static_cast<qlonglong>(text.size()))));
    inputBox_->setTitle(tr("Input: %1 (not shown)").arg(origin));
  } else {
    inputEdit_->setReadOnly(false);
    inputEdit_->setPlainText(text);
    inputBox_->setTitle(tr("Input: %1").arg(origin));
  }
  fillingInput_ = false;
}

QString MainWindow::InputText() const { return inputHeld_ ? heldInput_ : inputEdit_->toPlainText(); }

void MainWindow::ClearInput() {
  if (running_) return;
  fillingInput_ = true;
  heldInput_.clear();
  inputHeld_ = false;
  inputEdit_->setReadOnly(false);
  inputEdit_->clear();
  inputEdit_->setPlaceholderText(tr("Paste a message here, or drop a file on the window."));
  inputBox_->setTitle(tr("Input: a message to decode, or a plain text to encode"));
  fillingInput_ = false;
}

void MainWindow::OpenFile() {
  if (running_) return;
  const QString path =
      QFileDialog::getOpenFileName(this, tr("Open a message"), QString(), tr("Messages (*.b64 *.txt);;All files (*)"));
  if (!path.isEmpty()) LoadInputFile(path);
}

void MainWindow::OpenKeyFile() {
  if (running_) return;
  const QString path = QFileDialog::getOpenFileName(this, tr("Open a key file"));
  if (!path.isEmpty()) LoadKeyFile(path, KeyField::kKey);
}

void MainWindow::OpenSuffixFile() {
  if (running_) return;
  const QString path = QFileDialog::getOpenFileName(this, tr("Open a key suffix file"));
  if (!path.isEmpty()) LoadKeyFile(path, KeyField::kSuffix);
}

void MainWindow::PasteInput() {
  if (running_) return;
  SetInputText(QGuiApplication::clipboard()->text(), tr("pasted text"));
}

void MainWindow::ShowResult(const QString& text) {
  resultText_ = text;
  if (text.size() > kPaneShowLimit) {
    resultEdit_->setPlainText(text.left(kPaneShowLimit));
    resultBox_->setTitle(tr("Result: the first %1 of %2 characters (Copy and Save as take all)")
                             .arg(QLocale().toString(static_cast<qlonglong>(kPaneShowLimit)),
                                  QLocale().toString(static_cast<qlonglong>(text.size()))));
  } else {
    resultEdit_->setPlainText(text);
    resultBox_->setTitle(tr("Result"));
  }
}

void MainWindow::CopyResult() {
  if (running_) return;
  QGuiApplication::clipboard()->setText(resultText_);
  ShowStatus(tr("Copied %1 characters.").arg(resultText_.size()));
}

void MainWindow::SaveResult() {
  if (running_) return;
  const QString path =
      QFileDialog::getSaveFileName(this, tr("Save the result"), QString(), tr("Text, UTF-8 (*.txt);;All files (*)"));
  if (!path.isEmpty()) SaveResultTo(path);
}

bool MainWindow::SaveResultTo(const QString& path) {
  if (running_) return false;
  // UTF-8, as the command line writes plain text; a sealed message is ASCII.
  // QSaveFile replaces the file only once everything is written.
  const QByteArray bytes = resultText_.toUtf8();
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    ShowStatus(tr("Cannot save %1: %2").arg(path, file.errorString()));
    return false;
  }
  ShowStatus(tr("Saved %1 bytes to %2.").arg(bytes.size()).arg(path));
  return true;
}

void MainWindow::ShowStatus(const QString& text) { statusLabel_->setText(text); }

bool MainWindow::CheckKey() {
  if (!keyEdit_->text().isEmpty()) return true;
  ShowStatus(tr("Enter the key first."));
  keyEdit_->setFocus();
  return false;
}

// A key or suffix character the page cannot hold exactly would be sealed
// as '?' (and any other such character would open the message) or as
// Windows' look-alike (which the same key typed under another page does not
// give). The refusal names the character and what it would be sealed as, in
// the tool's words.
bool MainWindow::CheckKeyCharacters(const QString& key, const QString& keySuffix) {
  const std::pair<const QString*, QLineEdit*> fields[] = {{&key, keyEdit_}, {&keySuffix, suffixEdit_}};
  for (const auto& [text, field] : fields) {
    const auto found =
        platform::FindUnrepresentableCharacter(AsView(*text), field == keyEdit_ ? "the key" : "the key suffix");
    if (!found) continue;
    ShowStatus(tr("Cannot encode: %1.").arg(FromEngine(platform::RefusalToSeal(*found, true))));
    field->setFocus();
    return false;
  }
  return true;
}

// The status line with a line for each key or suffix character the page
// does not hold exactly, saying what the decode took it as.
void MainWindow::ShowStatusWithKeyWarnings(const QString& text, const QString& key, const QString& keySuffix) {
  QString status = text;
  for (const std::string& warning : platform::KeyConversionWarnings(AsView(key), AsView(keySuffix))) {
    status += QLatin1Char('\n') + tr("Warning: %1.").arg(FromEngine(warning));
  }
  ShowStatus(status);
}

/// Running the engine ///

void MainWindow::BeginRun() {
  running_ = true;
  closeRequested_ = false;
  focusBefore_ = QApplication::focusWidget();
  controls_->setEnabled(false);
  abortButton_->setEnabled(true);
  progressBar_->setValue(0);
  ShowResult(QString());
  ShowStatus(tr("Working\u2026"));
  // The engine leaves an abort request standing after a message it skips;
  // the status reports this run only.
  AbortFlag = 0;
  Progress = 0;
  hooks_ = std::make_unique<HookScope>(progressBar_);
}

void MainWindow::EndRun() {
  hooks_.reset();
  running_ = false;
  abortButton_->setEnabled(false);
  controls_->setEnabled(true);
  // Disabling the controls took the keyboard focus away; give it back.
  if (focusBefore_ != nullptr && focusBefore_->isEnabled()) focusBefore_->setFocus();
}

void MainWindow::Decode() {
  if (running_) return;
  const QString message = InputText();
  if (message.size() < static_cast<qsizetype>(kShortestMessage)) {
    ShowStatus(tr("The message is too short: a message has at least 4 characters."));
    return;
  }
  if (!CheckKey()) return;
  const QString key = keyEdit_->text();
  const QString keySuffix = suffixEdit_->text();

  BeginRun();
  DecodeOutcome outcome;
  QString failure;
  try {
    outcome = TryDecodeText(AsView(message), AsView(key), AsView(keySuffix));
  } catch (const std::bad_alloc&) {
    failure = tr("Out of memory: the message is too large to decode here.");
  } catch (const std::exception& error) {
    failure = QString::fromLocal8Bit(error.what());
  }
  EndRun();

  if (failure.isEmpty() && outcome.status == DecodeStatus::kEngineError) {
    failure = FormatEngineError(EngineError(outcome.error, outcome.source, outcome.description));
  }
  if (!failure.isEmpty()) {
    ShowStatusWithKeyWarnings(failure, key, keySuffix);
  } else if (AbortFlag == -1) {
    // After an abort the engine returns "" or the container as it was, never
    // the plain text: show nothing.
    ShowStatus(tr("Aborted"));
  } else if (!outcome.HasText()) {
    ShowStatusWithKeyWarnings(FromEngine(outcome.description), key, keySuffix);
  } else {
    progressBar_->setValue(100);
    ShowResult(FromEngine(outcome.text));
    if (outcome.status == DecodeStatus::kChecksumMismatch) {
      ShowStatusWithKeyWarnings(FromEngine(outcome.description), key, keySuffix);
    } else {
      ShowStatusWithKeyWarnings(
          tr("Decoded %1 characters.").arg(QLocale().toString(static_cast<qlonglong>(outcome.text.size()))), key,
          keySuffix);
    }
  }
  if (closeRequested_) close();
}

void MainWindow::Encode() {
  if (running_) return;
  if (!CheckKey()) return;
  const QString plain = InputText();
  if (const auto found = platform::FindUnrepresentableCharacter(AsView(plain))) {
    ShowStatus(tr("Cannot encode: %1.").arg(FromEngine(platform::RefusalToSeal(*found, false))));
    return;
  }
  const QString key = keyEdit_->text();
  const QString keySuffix = suffixEdit_->text();
  if (!CheckKeyCharacters(key, keySuffix)) return;

  BeginRun();
  platform::SetMousePointer(platform::kPointerBusy);
  progressBar_->setRange(0, 0);  // no progress to tell: a busy bar
  // Nothing the encoder reads can change under it: the controls, the code
  // page's among them, stay disabled until it is done.
  const EncodeOutcome outcome =
      EncodeBesideWindow(encoder_ != nullptr ? encoder_ : &SealText, AsView(plain), AsView(key), AsView(keySuffix));
  const std::u16string& message = outcome.message;
  progressBar_->setRange(0, 100);
  EndRun();
  const QString failure = outcome.engineError ? FormatEngineError(*outcome.engineError) : outcome.failure;

  if (AbortFlag == -1) {
    // The encoder cannot be stopped halfway; its result is dropped instead.
    ShowStatus(tr("Aborted"));
  } else if (!failure.isEmpty()) {
    ShowStatus(failure);
  } else {
    progressBar_->setValue(100);
    ShowResult(FromEngine(message));
    ShowStatus(tr("Encoded %1 characters into a message of %2.")
                   .arg(QLocale().toString(static_cast<qlonglong>(plain.size())),
                        QLocale().toString(static_cast<qlonglong>(message.size()))));
  }
  if (closeRequested_) close();
}

void MainWindow::Abort() {
  // Only a running decode reads the flag; set at any other time it would
  // linger until the next run clears it.
  if (!running_) return;
  AbortFlag = -1;
  ShowStatus(tr("Aborting\u2026"));
}

/// Window events ///

void MainWindow::closeEvent(QCloseEvent* event) {
  if (running_) {
    // Closing now would leave the decode running with no window; stop it
    // and close when the slot that runs it returns.
    AbortFlag = -1;
    closeRequested_ = true;
    event->ignore();
    return;
  }
  event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (!running_ && mime->hasUrls() && !mime->urls().isEmpty() && mime->urls().first().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void MainWindow::dropEvent(QDropEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (running_ || !mime->hasUrls() || mime->urls().isEmpty()) return;
  const QUrl url = mime->urls().first();
  if (!url.isLocalFile()) return;
  event->acceptProposedAction();
  LoadInputFile(url.toLocalFile());
}

}  // namespace trirotor::gui
