// SPDX-License-Identifier: GPL-3.0-or-later
// A prepared SQLite statement on the handle of a Qt connection. The
// inventory's runs read and write thousands of rows, which Qt's QVariant
// binding would make several times slower than SQLite's own work.
#pragma once

#include <QString>
#include <initializer_list>
#include <variant>

class QSqlDatabase;
struct sqlite3;
struct sqlite3_stmt;

class Statement
{
  public:
    using Value = std::variant<qint64, QString>;

    Statement(const QSqlDatabase &db, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // Runs the statement to its end with these values for its placeholders,
    // in order; false, with error() set, when it fails.
    bool run(std::initializer_list<Value> values = {});
    // Starts a query; then next() until it returns false, and error() tells
    // a failure from the end.
    bool start(std::initializer_list<Value> values = {});
    bool next();
    qint64 integer(int column) const;
    QString text(int column) const;

    QString error() const { return failure; }
    // SQLite's primary result code of the failure, 0 when none.
    int errorCode() const { return failureCode; }

  private:
    bool bind(std::initializer_list<Value> values);
    bool fail();

    sqlite3 *db = nullptr;
    sqlite3_stmt *statement = nullptr;
    QString failure;
    int failureCode = 0;
};
