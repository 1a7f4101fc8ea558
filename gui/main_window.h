// SPDX-License-Identifier: MIT
//
// main_window.h - the trirotor window: decode on the UI thread, encode beside it.
//
// One pane takes the input (a sealed message to decode, or a plain text to
// encode), the other shows the result. The decoder runs synchronously on the
// user-interface thread, the encoder (which has no pauses) on a thread of its
// own; while either runs, every control but Abort is disabled, so nothing can
// start a second run inside the first.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <memory>
#include <string>
#include <string_view>

#include "gui/encoder_thread.h"
#include "gui/file_text.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QGroupBox;

namespace trirotor::gui {

class HookScope;

// Texts longer than this are held aside and only summarised in a pane;
// files larger than this are refused before anything is read
// (gui/file_text.h, as in the Windows window).
inline constexpr qsizetype kPaneShowLimit = static_cast<qsizetype>(kPaneTextLimit);
inline constexpr qint64 kMaxFileBytes = kMaxInputFileBytes;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Reads a file into the input pane: UTF-8, or else one character per byte
  // through the selected code page. False (and the reason in the status
  // line) if it cannot be read or is too large.
  bool LoadInputFile(const QString& path);
  // Reads a key or key suffix file into its field, with the command line's
  // reader and rules (1 MiB at most, UTF-8, a byte-order mark and one line
  // end dropped). False (and the reason in the status line) if it cannot.
  enum class KeyField { kKey, kSuffix };
  bool LoadKeyFile(const QString& path, KeyField field);
  // Replaces the input; `origin` names it in the pane if it is too long to show.
  void SetInputText(const QString& text, const QString& origin);
  // The input as the next run takes it: a held text, or the pane's text.
  QString InputText() const;
  // The whole last result, even when the pane shows only its beginning.
  const QString& ResultText() const { return resultText_; }
  bool IsRunning() const { return running_; }
  // The encoder that Encode calls on its worker thread (nullptr: EncodeText
  // with a random header); tests put a stand-in here.
  using Encoder = gui::Encoder;
  void SetEncoder(Encoder encoder) { encoder_ = encoder; }
  // Writes the whole result to a file, in UTF-8. False (and the reason in the
  // status line) if it cannot.
  bool SaveResultTo(const QString& path);

 public slots:
  void Decode();
  void Encode();
  void Abort();
  void OpenFile();
  void OpenKeyFile();
  void OpenSuffixFile();
  void PasteInput();
  void ClearInput();
  void CopyResult();
  void SaveResult();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildWidgets();
  void FillCodePages();
  void SelectCodePage(int index);
  void BeginRun();
  void EndRun();
  void ShowResult(const QString& text);
  void ShowStatus(const QString& text);
  void ShowStatusWithKeyWarnings(const QString& text, const QString& key, const QString& keySuffix);
  bool CheckKey();
  bool CheckKeyCharacters(const QString& key, const QString& keySuffix);

  QGroupBox* inputBox_ = nullptr;
  QPlainTextEdit* inputEdit_ = nullptr;
  QLineEdit* keyEdit_ = nullptr;
  QLineEdit* suffixEdit_ = nullptr;
  QComboBox* codePageBox_ = nullptr;
  QPushButton* decodeButton_ = nullptr;
  QPushButton* encodeButton_ = nullptr;
  QGroupBox* resultBox_ = nullptr;
  QPlainTextEdit* resultEdit_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QPushButton* abortButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QWidget* controls_ = nullptr;  // everything a run must not be disturbed by

  QString heldInput_;  // a loaded or pasted text, until the pane is edited
  bool inputHeld_ = false;
  bool fillingInput_ = false;  // the pane is being filled by us, not edited
  QString resultText_;
  bool running_ = false;
  std::unique_ptr<HookScope> hooks_;
  Encoder encoder_ = nullptr;      // installed for the length of a run
  bool closeRequested_ = false;    // the window was closed during a run
  QPointer<QWidget> focusBefore_;  // where the keyboard focus was when the run began
};

}  // namespace trirotor::gui
