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
// runs on a thread of its own while the slot waits in a local event loop.

#include "gui/main_window.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
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
#include <QStringDecoder>
#include <QVBoxLayout>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

#include "engine/trirotor.h"
#include "gui/hooks.h"

namespace trirotor::gui {
namespace {

struct CodePageName {
  int codePage;
  const char* name;
};
// The pages whose every byte is one character and back.
constexpr CodePageName kCodePages[] = {
    {874, "Thai"},        {1250, "Central European"}, {1251, "Cyrillic"},
    {1252, "Western"},    {1253, "Greek"},            {1254, "Turkish"},
    {1255, "Hebrew"},     {1256, "Arabic"},           {1257, "Baltic"},
    {1258, "Vietnamese"}, {28591, "ISO-8859-1"},
};

constexpr qint64 kReadChunk = 1 << 20;

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

// Where a character that the code page cannot hold sits, counted from 1 as
// an editor counts: lines split at LF, columns in whole characters.
struct TextPlace {
  char32_t codePoint;
  qsizetype line;
  qsizetype column;
};

std::optional<TextPlace> FindUnrepresentable(const QString& text) {
  qsizetype line = 1;
  qsizetype column = 1;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar ch = text.at(i);
    if (!platform::IsRepresentable(ch.unicode())) {
      char32_t codePoint = ch.unicode();
      if (ch.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        codePoint = QChar::surrogateToUcs4(ch, text.at(i + 1));
      }
      return TextPlace{codePoint, line, column};
    }
    if (ch == u'\n') {
      ++line;
      column = 1;
    } else if (!ch.isHighSurrogate()) {
      ++column;  // a surrogate pair is one character
    }
  }
  return std::nullopt;
}

std::u16string SealText(std::u16string_view plain, std::u16string_view key,
                        std::u16string_view keySuffix) {
  return EncodeText(plain, key, keySuffix);  // a random header every time
}

QString DescribePlace(const TextPlace& place) {
  const QString shown = place.codePoint < 0x20 ? QString() : QString::fromUcs4(&place.codePoint, 1);
  return QObject::tr("\u201c%1\u201d (U+%2) at line %3, column %4")
      .arg(shown)
      .arg(static_cast<uint>(place.codePoint), 4, 16, QChar(u'0'))
      .arg(place.line)
      .arg(place.column);
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
  keyForm->addRow(tr("&Key:"), keyEdit_);
  keyForm->addRow(tr("Key &suffix:"), suffixEdit_);
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
  for (const CodePageName& page : kCodePages) {
    if (!platform::IsCodePageSupported(page.codePage)) continue;
    codePageBox_->addItem(QStringLiteral("%1 \u2013 %2").arg(page.codePage).arg(tr(page.name)),
                          page.codePage);
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
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    ShowStatus(tr("Cannot open %1: %2").arg(path, file.errorString()));
    return false;
  }
  const QString tooLarge = tr("%1 is too large: the window takes files up to %2.")
                               .arg(path, QLocale().formattedDataSize(kMaxFileBytes));
  if (file.size() > kMaxFileBytes) {
    ShowStatus(tooLarge);
    return false;
  }
  // Read in chunks and stop at the limit, whatever size the file claimed.
  QByteArray bytes;
  while (true) {
    const QByteArray chunk = file.read(kReadChunk);
    if (chunk.isEmpty()) break;
    if (bytes.size() + chunk.size() > kMaxFileBytes) {
      ShowStatus(tooLarge);
      return false;
    }
    bytes.append(chunk);
  }
  if (file.error() != QFileDevice::NoError) {
    ShowStatus(tr("Cannot read %1: %2").arg(path, file.errorString()));
    return false;
  }
  // Text files are UTF-8, as the command line reads and writes them; a file
  // that is not valid UTF-8 is taken as bytes of the code page, one
  // character each, as the sealing program's own files were.
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8.decode(bytes);
  QString how = tr("UTF-8");
  if (utf8.hasError()) {
    const std::u16string wide = platform::BytesToText(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
    text = FromEngine(wide);
    how = tr("bytes of code page %1").arg(platform::CodePage());
  }
  bytes.clear();
  SetInputText(text, QFileInfo(path).fileName());
  ShowStatus(tr("Loaded %1 (%2 characters, read as %3).")
                 .arg(path, QLocale().toString(static_cast<qlonglong>(text.size())), how));
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

QString MainWindow::InputText() const {
  return inputHeld_ ? heldInput_ : inputEdit_->toPlainText();
}

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
  const QString path = QFileDialog::getOpenFileName(this, tr("Open a message"), QString(),
                                                    tr("Messages (*.b64 *.txt);;All files (*)"));
  if (!path.isEmpty()) LoadInputFile(path);
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
  const QString path = QFileDialog::getSaveFileName(this, tr("Save the result"), QString(),
                                                    tr("Text, UTF-8 (*.txt);;All files (*)"));
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
  // The status reports this run only: the engine never clears LastError,
  // and leaves an abort request standing after a message it skips.
  LastError = 0;
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
  if (message.size() < 4) {
    ShowStatus(tr("The message is too short: a message has at least 4 characters."));
    return;
  }
  if (!CheckKey()) return;
  const QString key = keyEdit_->text();
  const QString keySuffix = suffixEdit_->text();

  BeginRun();
  std::u16string plain;
  QString failure;
  try {
    plain = DecodeText(AsView(message), AsView(key), AsView(keySuffix));
  } catch (const EngineError& error) {
    failure = FormatEngineError(error);
  } catch (const std::bad_alloc&) {
    failure = tr("Out of memory: the message is too large to decode here.");
  } catch (const std::exception& error) {
    failure = QString::fromLocal8Bit(error.what());
  }
  EndRun();

  if (!failure.isEmpty()) {
    ShowStatus(failure);
  } else if (AbortFlag == -1) {
    // After an abort the engine returns "" or the container as it was, never
    // the plain text: show nothing.
    ShowStatus(tr("Aborted"));
  } else if (LastError == kErrFrameCheck) {
    ShowStatus(FromEngine(ErrorMessage(kErrFrameCheck)));
  } else {
    progressBar_->setValue(100);
    ShowResult(FromEngine(plain));
    if (LastError == kErrChecksum) {
      ShowStatus(FromEngine(ErrorMessage(kErrChecksum)));
    } else {
      ShowStatus(tr("Decoded %1 characters.").arg(QLocale().toString(static_cast<qlonglong>(plain.size()))));
    }
  }
  if (closeRequested_) close();
}

void MainWindow::Encode() {
  if (running_) return;
  if (!CheckKey()) return;
  const QString plain = InputText();
  if (const auto place = FindUnrepresentable(plain)) {
    ShowStatus(tr("Cannot encode: %1 is not in code page %2.")
                   .arg(DescribePlace(*place))
                   .arg(platform::CodePage()));
    return;
  }
  const QString key = keyEdit_->text();
  const QString keySuffix = suffixEdit_->text();

  BeginRun();
  platform::SetMousePointer(platform::kPointerBusy);
  progressBar_->setRange(0, 0);  // no progress to tell: a busy bar
  // The encoder has no pauses and takes seconds over a large text, so it
  // runs on a thread of its own (the engine's state is per thread) while
  // this one goes on delivering events. Nothing it reads can change under
  // it: the controls, the code page's among them, stay disabled until the
  // thread is joined.
  const Encoder encoder = encoder_ != nullptr ? encoder_ : &SealText;
  std::u16string message;
  std::optional<EngineError> engineError;
  QString failure;
  QEventLoop waiting;
  const auto encode = [&] {
    try {
      message = encoder(AsView(plain), AsView(key), AsView(keySuffix));
    } catch (const EngineError& error) {
      engineError = error;
    } catch (const std::bad_alloc&) {
      failure = QStringLiteral("Out of memory: the text is too large to encode here.");
    } catch (const std::exception& error) {
      failure = QString::fromLocal8Bit(error.what());
    }
  };
  std::thread worker;
  try {
    worker = std::thread([&] {
      encode();
      QMetaObject::invokeMethod(&waiting, &QEventLoop::quit, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    // No thread to be had: encode here, with the window waiting.
  }
  if (worker.joinable()) {
    waiting.exec();  // also returns early if the application quits
    worker.join();
  } else {
    encode();
  }
  progressBar_->setRange(0, 100);
  EndRun();
  if (engineError) failure = FormatEngineError(*engineError);

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
