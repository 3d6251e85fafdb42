// Collects what the code under test writes to stdout or stderr, so tests can
// check its trace and report lines.
#pragma once

#include <QByteArray>
#include <QTemporaryFile>
#include <cstdio>
#include <unistd.h>

class OutputCapture
{
  public:
    explicit OutputCapture(int fd) : fd(fd)
    {
        file.open();
        flushAll();
        saved = dup(fd);
        dup2(file.handle(), fd);
    }
    ~OutputCapture()
    {
        flushAll();
        dup2(saved, fd);
        close(saved);
    }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    QByteArray text()
    {
        flushAll();
        file.seek(0);
        return file.readAll();
    }
    int count(const QByteArray &line) { return text().count(line); }

  private:
    static void flushAll()
    {
        std::fflush(stdout);
        std::fflush(stderr);
    }

    int fd;
    int saved;
    QTemporaryFile file;
};
