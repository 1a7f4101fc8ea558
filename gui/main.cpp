// SPDX-License-Identifier: MIT
//
// main.cpp - trirotor-gui: starts the window.
//
// trirotor-gui [--key-file FILE] [--suffix TEXT | --suffix-file FILE] [--decode] [--screenshot PNG]
//              [MESSAGE]
// A message file and a key file may be given so that a decode is one click
// (or none, with --decode); --screenshot saves the window as it then looks
// and quits, which is how the README's picture is made.

#include <QApplication>
#include <QCommandLineParser>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>

#include "gui/main_window.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("trirotor-gui");
  QApplication::setApplicationVersion(QStringLiteral(TRIROTOR_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription("The trirotor window: decode and encode sealed messages.");
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption keyFileOption(
      "key-file", "Read the key from FILE (UTF-8; a byte-order mark and one line end dropped).", "FILE");
  const QCommandLineOption suffixFileOption("suffix-file", "Read the key suffix from FILE, as --key-file does.",
                                            "FILE");
  const QCommandLineOption suffixOption("suffix", "Start with TEXT as the key suffix.", "TEXT");
  const QCommandLineOption decodeOption("decode", "Decode the message at start.");
  const QCommandLineOption screenshotOption(
      "screenshot", "Save a picture of the window to PNG once it is shown, then quit.", "PNG");
  parser.addOption(keyFileOption);
  parser.addOption(suffixOption);
  parser.addOption(suffixFileOption);
  parser.addOption(decodeOption);
  parser.addOption(screenshotOption);
  parser.addPositionalArgument("message", "A message file to open.", "[MESSAGE]");
  parser.process(app);

  trirotor::gui::MainWindow window;
  const QStringList files = parser.positionalArguments();
  if (!files.isEmpty()) window.LoadInputFile(files.first());
  // Key files are read as the command line reads them; a file that cannot
  // be used ends the program before the window shows.
  using KeyField = trirotor::gui::MainWindow::KeyField;
  const auto readKeyFile = [&](const QCommandLineOption& option, KeyField field) {
    if (!parser.isSet(option) || window.LoadKeyFile(parser.value(option), field)) return true;
    std::fprintf(stderr, "trirotor-gui: %s\n", qPrintable(window.findChild<QLabel*>("statusLabel")->text()));
    return false;
  };
  if (!readKeyFile(keyFileOption, KeyField::kKey)) return 2;
  if (parser.isSet(suffixOption)) {
    window.findChild<QLineEdit*>("suffixEdit")->setText(parser.value(suffixOption));
  }
  if (!readKeyFile(suffixFileOption, KeyField::kSuffix)) return 2;
  window.show();
  // Decode from the event loop, so that the window is on screen while it runs.
  if (parser.isSet(decodeOption)) QTimer::singleShot(0, &window, &trirotor::gui::MainWindow::Decode);
  if (parser.isSet(screenshotOption)) {
    const QString path = parser.value(screenshotOption);
    QTimer::singleShot(500, &window, [&window, path] {
      const bool saved = window.grab().save(path, "PNG");
      if (!saved) std::fprintf(stderr, "trirotor-gui: cannot write %s\n", qPrintable(path));
      QCoreApplication::exit(saved ? 0 : 2);
    });
  }
  return app.exec();
}
