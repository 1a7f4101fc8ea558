// SPDX-License-Identifier: MIT
//
// command_line_test.cpp - trirotor-gui started as a user starts it.
//
// Guards against a program that needs a display to say how it is used,
// that drops a message file it cannot read (and then reports the empty
// window's complaint) or a second one without a word, and against one that
// refuses everything: the good command line must still show the window.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr const char* kDisplayless = "none";  // no display of any kind
constexpr const char* kOffscreen = "offscreen";

struct Run {
  int exitCode = -1;
  bool crashed = false;
  QString out;
  QString err;
};

Run Start(const QStringList& arguments, const QString& display) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) environment.remove(name);
  if (display == kOffscreen) environment.insert("QT_QPA_PLATFORM", kOffscreen);
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(QStringLiteral(TRIROTOR_GUI_PROGRAM), arguments);
  Run run;
  if (!process.waitForFinished(60000)) {
    process.kill();
    process.waitForFinished();
    run.err = "did not finish within a minute";
    return run;
  }
  run.crashed = process.exitStatus() != QProcess::NormalExit;
  run.exitCode = process.exitCode();
  run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(process.readAllStandardError());
  return run;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

class CommandLineTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString Path(const QString& name) { return dir_.filePath(name); }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(QFileInfo::exists(QStringLiteral(TRIROTOR_GUI_PROGRAM)));
    QVERIFY(WriteFile(Path("msg.b64"), "QUJDRA==\n"));
    QVERIFY(WriteFile(Path("other.b64"), "QUJDRA==\n"));
    QVERIFY(WriteFile(Path("good.key"), "secret\n"));
    QVERIFY(WriteFile(Path("empty.key"), "\n"));
    QVERIFY(QDir(dir_.path()).mkdir("folder"));
  }

  // In the arguments, @ stands for the scratch folder. `out` and `err` are
  // parts the standard output and error must hold ("" asks for nothing).
  void AnswersEachCommandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("help without a display") << QStringList{"--help"} << kDisplayless << 0 << "--key-file"
                                            << "";
    QTest::newRow("-h without a display") << QStringList{"-h"} << kDisplayless << 0 << "[MESSAGE]"
                                          << "";
    QTest::newRow("version without a display") << QStringList{"--version"} << kDisplayless << 0 << "trirotor-gui "
                                               << "";
    QTest::newRow("the windowing system's options still taken")
        << QStringList{"-platform", "offscreen", "--version"} << kDisplayless << 0 << "trirotor-gui "
        << "";
    QTest::newRow("unknown option without a display") << QStringList{"--bogus"} << kDisplayless << 1 << ""
                                                      << "bogus";
    QTest::newRow("missing value without a display") << QStringList{"--key-file"} << kDisplayless << 1 << ""
                                                     << "key-file";
    QTest::newRow("a suffix that reads like --help is a suffix")
        << QStringList{"--suffix", "--help", "@/missing.b64"} << kOffscreen << 2 << ""
        << "missing.b64";
    QTest::newRow("missing message file") << QStringList{"@/missing.b64"} << kOffscreen << 2 << ""
                                          << "Cannot open @/missing.b64";
    QTest::newRow("message file is a folder") << QStringList{"@/folder"} << kOffscreen << 2 << ""
                                              << "@/folder";
    QTest::newRow("missing message file, with --decode")
        << QStringList{"--decode", "--key-file", "@/good.key", "@/missing.b64"} << kOffscreen << 2 << ""
        << "Cannot open @/missing.b64";
    QTest::newRow("two message files") << QStringList{"@/msg.b64", "@/other.b64"} << kOffscreen << 2 << ""
                                       << "2 message files given";
    QTest::newRow("empty key file") << QStringList{"--key-file", "@/empty.key", "@/msg.b64"} << kOffscreen << 2 << ""
                                    << "empty";
    QTest::newRow("good files show the window")
        << QStringList{"--key-file", "@/good.key", "--screenshot", "@/shot.png", "@/msg.b64"} << kOffscreen << 0 << ""
        << "";
  }
  void AnswersEachCommandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    for (QString& argument : arguments) argument.replace('@', dir_.path());
    out.replace('@', dir_.path());
    err.replace('@', dir_.path());
    QFile::remove(Path("shot.png"));

    const Run run = Start(arguments, display);
    const QByteArray said = ("stdout: " + run.out + "\nstderr: " + run.err).toLocal8Bit();
    QVERIFY2(!run.crashed, said.constData());
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.contains(out), said.constData());
    QVERIFY2(run.err.contains(err), said.constData());
    // The window was shown only for the command line that is all good.
    QCOMPARE(QFileInfo::exists(Path("shot.png")), arguments.contains("--screenshot") && exitCode == 0);
    // Never the empty window's complaint in place of the real one.
    QVERIFY2(!run.err.contains("too short"), said.constData());
  }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "command_line_test.moc"
