// SPDX-License-Identifier: GPL-3.0-or-later
#include "statement.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>
#include <sqlite3.h>

Statement::Statement(const QSqlDatabase &connection, const char *sql)
{
    const QVariant handle = connection.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") == 0)
        db = *static_cast<sqlite3 *const *>(handle.data());
    if (db == nullptr)
        failure = QStringLiteral("the inventory is not open");
    else if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
        fail();
}

Statement::~Statement()
{
    sqlite3_finalize(statement);
}

bool Statement::fail()
{
    failure = QString::fromUtf8(sqlite3_errmsg(db));
    failureCode = sqlite3_errcode(db) & 0xff;
    if (statement != nullptr)
        sqlite3_reset(statement);
    return false;
}

bool Statement::bind(std::initializer_list<Value> values)
{
    if (statement == nullptr)
        return false;
    sqlite3_reset(statement);
    failure.clear();
    failureCode = 0;
    int index = 1;
    for (const Value &value : values) {
        int result = SQLITE_OK;
        if (const QString *text = std::get_if<QString>(&value)) {
            // A null QString is an empty text here, never NULL.
            const QByteArray utf8 = text->toUtf8();
            result = sqlite3_bind_text(statement, index, text->isNull() ? "" : utf8.constData(),
                                       static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        } else {
            result = sqlite3_bind_int64(statement, index, std::get<qint64>(value));
        }
        if (result != SQLITE_OK)
            return fail();
        ++index;
    }
    return true;
}

bool Statement::run(std::initializer_list<Value> values)
{
    if (!bind(values))
        return false;
    while (true) {
        const int result = sqlite3_step(statement);
        if (result == SQLITE_DONE) {
            sqlite3_reset(statement);
            return true;
        }
        if (result != SQLITE_ROW)
            return fail();
    }
}

bool Statement::start(std::initializer_list<Value> values)
{
    return bind(values);
}

bool Statement::next()
{
    if (statement == nullptr)
        return false;
    const int result = sqlite3_step(statement);
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE)
        fail();
    return false;
}

qint64 Statement::integer(int column) const
{
    return sqlite3_column_int64(statement, column);
}

QString Statement::text(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(statement, column));
}
