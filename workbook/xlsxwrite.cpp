#include "xlsxwrite.h"

#include "workbook.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <xlsxwriter.h>

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace workbook
{

namespace
{

bool Fail(QString *error, const QString &message)
{
    if (error != nullptr)
        *error = message;
    return false;
}

QString ErrnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Characters XML 1.0 forbids (controls other than tab, line feed and carriage return, and
// U+FFFE/U+FFFF) are written as _xHHHH_ escapes, which readers decode; a literal text that
// already looks like such an escape gets its underscore escaped as _x005F_ so it reads back as
// written. The writer library escapes controls in cell strings but not in comments, so this
// is done here for both.
bool NeedsEscape(char16_t c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF;
}

bool LooksLikeEscape(const QString &text, qsizetype i)
{
    if (i + 6 >= text.size() || text[i + 1].unicode() != 'x' || text[i + 6].unicode() != '_')
        return false;
    for (int k = 2; k < 6; ++k) {
        char16_t c = text[i + k].unicode();
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

QByteArray EncodeText(const QString &text)
{
    bool plain = true;
    for (qsizetype i = 0; i < text.size() && plain; ++i) {
        char16_t c = text[i].unicode();
        plain = !NeedsEscape(c) && !(c == '_' && LooksLikeEscape(text, i));
    }
    if (plain)
        return text.toUtf8();
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        char16_t c = text[i].unicode();
        if (NeedsEscape(c))
            out += QStringLiteral("_x") +
                   QStringLiteral("%1").arg(int(c), 4, 16, QLatin1Char('0')).toUpper() +
                   QLatin1Char('_');
        else if (c == '_' && LooksLikeEscape(text, i))
            out += QStringLiteral("_x005F_");
        else
            out += text[i];
    }
    return out.toUtf8();
}

// Writes every sheet into the libxlsxwriter workbook `out`. Returns 0 or the first error.
lxw_error WriteSheets(const Workbook &book, lxw_workbook *out, QString *what)
{
    for (int s = 0; s < book.SheetCount(); ++s) {
        const Worksheet *sheet = book.Sheet(s);
        const QByteArray name = sheet->Name().toUtf8();
        lxw_error nameErr = workbook_validate_sheet_name(out, name.constData());
        lxw_worksheet *ws =
            nameErr == LXW_NO_ERROR ? workbook_add_worksheet(out, name.constData()) : nullptr;
        if (ws == nullptr) {
            *what = QStringLiteral("sheet name \"%1\"").arg(sheet->Name());
            return nameErr != LXW_NO_ERROR ? nameErr : LXW_ERROR_MEMORY_MALLOC_FAILED;
        }
        if (s == book.ActiveIndex())
            worksheet_activate(ws);
        for (const auto &[row, cells] : sheet->Rows()) {
            const lxw_row_t r = static_cast<lxw_row_t>(row - 1);
            for (std::size_t c = 0; c < cells.size(); ++c) {
                const Cell &cell = cells[c];
                const lxw_col_t col = static_cast<lxw_col_t>(c);
                lxw_error err = LXW_NO_ERROR;
                switch (cell.kind) {
                case CellKind::Number:
                    err = worksheet_write_number(ws, r, col, cell.number, nullptr);
                    break;
                case CellKind::Text:
                    if (!cell.text.isEmpty())
                        err = worksheet_write_string(ws, r, col, EncodeText(cell.text).constData(),
                                                     nullptr);
                    break;
                case CellKind::Boolean:
                    err = worksheet_write_boolean(ws, r, col, cell.number != 0.0, nullptr);
                    break;
                case CellKind::Empty:
                    break;
                }
                if (err == LXW_NO_ERROR && cell.hasComment) {
                    lxw_comment_options options{};
                    options.visible = cell.commentVisible ? LXW_COMMENT_DISPLAY_VISIBLE
                                                          : LXW_COMMENT_DISPLAY_HIDDEN;
                    err = worksheet_write_comment_opt(
                        ws, r, col, EncodeText(cell.comment).constData(), &options);
                }
                if (err != LXW_NO_ERROR) {
                    *what = QStringLiteral("cell %1%2 of sheet \"%3\"")
                                .arg(ColumnName(static_cast<int>(c) + 1))
                                .arg(row)
                                .arg(sheet->Name());
                    return err;
                }
            }
        }
    }
    return LXW_NO_ERROR;
}

bool SyncPath(const QByteArray &path, int flags)
{
    int fd = ::open(path.constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

} // namespace

bool SaveXlsx(const Workbook &book, const QString &path, QString *error)
{
    if (path.isEmpty())
        return Fail(error, QStringLiteral("No file name given"));
    if (book.SheetCount() == 0)
        return Fail(error, QStringLiteral("A workbook must contain at least one sheet"));

    // Save through a symbolic link to the file it names.
    QFileInfo info(path);
    QString target = info.absoluteFilePath();
    if (info.isSymLink()) {
        QString resolved = info.symLinkTarget();
        if (!resolved.isEmpty())
            target = resolved;
    }
    QFileInfo targetInfo(target);
    if (targetInfo.isDir())
        return Fail(error, QStringLiteral("\"%1\" is a folder").arg(target));
    const QString folder = targetInfo.absolutePath();
    if (!QFileInfo(folder).isDir())
        return Fail(error, QStringLiteral("The folder \"%1\" does not exist").arg(folder));

    // New files get the usual permissions; an existing file keeps its own.
    mode_t mode = 0;
    struct stat st {
    };
    const QByteArray targetBytes = QFile::encodeName(target);
    if (::stat(targetBytes.constData(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }

    QByteArray tmpName = QFile::encodeName(folder + QLatin1Char('/') + QLatin1Char('.') +
                                           targetInfo.fileName() + QStringLiteral(".XXXXXX"));
    int fd = ::mkstemp(tmpName.data());
    if (fd < 0) {
        return Fail(
            error,
            QStringLiteral("Cannot create a file in \"%1\": %2").arg(folder, ErrnoText(errno)));
    }
    ::close(fd);
    auto discardTemp = [&tmpName]() { ::unlink(tmpName.constData()); };

    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE; // rows are streamed in order, memory stays flat
    lxw_workbook *out = workbook_new_opt(tmpName.constData(), &options);
    if (out == nullptr) {
        discardTemp();
        return Fail(error, QStringLiteral("Cannot start writing \"%1\"").arg(target));
    }
    QString what;
    lxw_error err = WriteSheets(book, out, &what);
    lxw_error closeErr = workbook_close(out); // also frees `out`
    if (err == LXW_NO_ERROR)
        err = closeErr;
    if (err != LXW_NO_ERROR) {
        discardTemp();
        QString message = QStringLiteral("Cannot save \"%1\": %2")
                              .arg(target, QString::fromUtf8(lxw_strerror(err)));
        if (!what.isEmpty())
            message += QStringLiteral(" (%1)").arg(what);
        return Fail(error, message);
    }

    if (::chmod(tmpName.constData(), mode) != 0 || !SyncPath(tmpName, O_RDONLY) ||
        ::rename(tmpName.constData(), targetBytes.constData()) != 0) {
        int code = errno;
        discardTemp();
        return Fail(error, QStringLiteral("Cannot save \"%1\": %2").arg(target, ErrnoText(code)));
    }
    // Make the rename itself durable; a failure here leaves a complete file either way.
    SyncPath(QFile::encodeName(folder), O_RDONLY | O_DIRECTORY);
    return true;
}

} // namespace workbook
