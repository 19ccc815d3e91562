#include "xlsxread.h"

#include "workbook.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>
#include <QUrl>
#include <QXmlStreamReader>

#include <zip.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace workbook
{

namespace
{

// Thrown inside the reader only; ReadXlsx turns it into the error message.
struct ReadError {
    QString message;
};

[[noreturn]] void Fail(const QString &message)
{
    throw ReadError{message};
}

// ---------------------------------------------------------------------------------------------
// Zip package access (read-only)

class Package
{
  public:
    Package(const QString &path, const XlsxReadLimits &limits) : limits_(limits)
    {
        int code = 0;
        zip_ = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
        if (zip_ == nullptr) {
            zip_error_t err;
            zip_error_init_with_code(&err, code);
            QString text = QString::fromUtf8(zip_error_strerror(&err));
            zip_error_fini(&err);
            Fail(code == ZIP_ER_NOZIP ? QStringLiteral("not an .xlsx file (not a zip archive)")
                                      : text);
        }
        const zip_int64_t count = zip_get_num_entries(zip_, 0);
        if (count < 0 || count > limits_.maxEntries) {
            zip_discard(zip_); // the destructor does not run for a failed constructor
            zip_ = nullptr;
            Fail(QStringLiteral("the archive has too many entries (%1)").arg(count));
        }
        for (zip_int64_t i = 0; i < count; ++i) {
            const char *name = zip_get_name(zip_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_GUESS);
            if (name != nullptr)
                index_.insert(QString::fromUtf8(name).toLower(), static_cast<zip_uint64_t>(i));
        }
    }
    ~Package()
    {
        if (zip_ != nullptr)
            zip_discard(zip_); // read-only: never writes anything back
    }
    Package(const Package &) = delete;
    Package &operator=(const Package &) = delete;

    bool Has(const QString &part) const { return index_.contains(part.toLower()); }

    QByteArray Read(const QString &part)
    {
        auto it = index_.constFind(part.toLower());
        if (it == index_.constEnd())
            Fail(QStringLiteral("part \"%1\" is missing").arg(part));
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(zip_, *it, 0, &st) != 0)
            Fail(QStringLiteral("part \"%1\" cannot be read").arg(part));
        if ((st.valid & ZIP_STAT_SIZE) && st.size > static_cast<zip_uint64_t>(limits_.maxEntrySize))
            Fail(QStringLiteral("part \"%1\" is too large").arg(part));
        zip_file_t *file = zip_fopen_index(zip_, *it, 0);
        if (file == nullptr) {
            Fail(QStringLiteral("part \"%1\" cannot be read: %2")
                     .arg(part, QString::fromUtf8(zip_strerror(zip_))));
        }
        // The sizes in the archive are not trusted: the limits apply to the bytes inflated.
        QByteArray data;
        data.reserve(static_cast<qsizetype>(std::min<zip_uint64_t>(st.size, 64u << 20)));
        char buffer[65536];
        for (;;) {
            zip_int64_t n = zip_fread(file, buffer, sizeof buffer);
            if (n < 0) {
                QString why = QString::fromUtf8(zip_file_strerror(file));
                zip_fclose(file);
                Fail(QStringLiteral("part \"%1\" is damaged: %2").arg(part, why));
            }
            if (n == 0)
                break;
            total_ += n;
            if (data.size() + n > limits_.maxEntrySize || total_ > limits_.maxTotalSize) {
                zip_fclose(file);
                Fail(QStringLiteral("part \"%1\" is too large").arg(part));
            }
            data.append(buffer, static_cast<qsizetype>(n));
        }
        zip_fclose(file);
        return data;
    }

  private:
    const XlsxReadLimits &limits_;
    zip_t *zip_ = nullptr;
    QHash<QString, zip_uint64_t> index_;
    std::int64_t total_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Text helpers

// Decodes _xHHHH_ escapes (the way XML-forbidden characters are stored in cell texts).
QString DecodeEscapes(const QString &text)
{
    if (!text.contains(QLatin1String("_x")))
        return text;
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (text[i].unicode() == '_' && i + 6 < n && text[i + 1].unicode() == 'x' &&
            text[i + 6].unicode() == '_') {
            bool ok = false;
            const uint code = text.mid(i + 2, 4).toUInt(&ok, 16);
            if (ok) {
                out += QChar(static_cast<char16_t>(code));
                i += 6;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

QString PartFolder(const QString &part)
{
    const qsizetype slash = part.lastIndexOf('/');
    return slash < 0 ? QString() : part.left(slash + 1);
}

QString RelsPartOf(const QString &part)
{
    const qsizetype slash = part.lastIndexOf('/');
    return PartFolder(part) + QStringLiteral("_rels/") + part.mid(slash + 1) +
           QStringLiteral(".rels");
}

// Resolves a relationship target against the folder of its source part.
QString ResolveTarget(const QString &sourcePart, const QString &target)
{
    QString t = QUrl::fromPercentEncoding(target.toUtf8());
    QString joined = t.startsWith('/') ? t.mid(1) : PartFolder(sourcePart) + t;
    QStringList out;
    for (const QString &seg : joined.split('/', Qt::SkipEmptyParts)) {
        if (seg == QLatin1String("."))
            continue;
        if (seg == QLatin1String("..")) {
            if (!out.isEmpty())
                out.removeLast();
            continue;
        }
        out << seg;
    }
    return out.join('/');
}

struct Relationship {
    QString id;
    QString type;
    QString target; ///< resolved part name
};

bool TypeIs(const QString &type, QLatin1String suffix)
{
    return type.endsWith(suffix);
}

void CheckXml(const QXmlStreamReader &xml, const QString &part)
{
    if (xml.hasError()) {
        Fail(QStringLiteral("part \"%1\" is not well-formed XML (line %2: %3)")
                 .arg(part)
                 .arg(xml.lineNumber())
                 .arg(xml.errorString()));
    }
}

std::vector<Relationship> ReadRels(Package &pkg, const QString &sourcePart)
{
    std::vector<Relationship> rels;
    const QString relsPart = RelsPartOf(sourcePart);
    if (!pkg.Has(relsPart))
        return rels;
    const QByteArray data = pkg.Read(relsPart);
    QXmlStreamReader xml(data);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String("Relationship")) {
            const auto attrs = xml.attributes();
            if (attrs.value(QLatin1String("TargetMode")) == QLatin1String("External"))
                continue;
            rels.push_back(
                {attrs.value(QLatin1String("Id")).toString(),
                 attrs.value(QLatin1String("Type")).toString(),
                 ResolveTarget(sourcePart, attrs.value(QLatin1String("Target")).toString())});
        }
    }
    CheckXml(xml, relsPart);
    return rels;
}

const Relationship *FindRel(const std::vector<Relationship> &rels, QLatin1String typeSuffix)
{
    for (const Relationship &r : rels) {
        if (TypeIs(r.type, typeSuffix))
            return &r;
    }
    return nullptr;
}

// Collects the text of a rich-text element (<si>, <is>, <text>): its <t> children and those of
// its <r> runs, skipping phonetic guides (<rPh>). The reader stands on the start element.
QString ReadRichText(QXmlStreamReader &xml)
{
    QString text;
    int depth = 1;
    int phonetic = 0;
    while (depth > 0 && !xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::StartElement:
            ++depth;
            if (xml.name() == QLatin1String("rPh")) {
                ++phonetic;
            } else if (xml.name() == QLatin1String("t")) {
                QString t = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                --depth; // readElementText consumed the end element
                if (phonetic == 0)
                    text += t;
            }
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            if (xml.name() == QLatin1String("rPh"))
                --phonetic;
            break;
        default:
            break;
        }
    }
    return DecodeEscapes(text);
}

// ---------------------------------------------------------------------------------------------

class Reader
{
  public:
    Reader(const QString &path, const XlsxReadLimits &limits) : limits_(limits), pkg_(path, limits)
    {
    }

    std::unique_ptr<Workbook> Read()
    {
        const auto rootRels = ReadRels(pkg_, QString());
        const Relationship *office = FindRel(rootRels, QLatin1String("/officeDocument"));
        if (office == nullptr || !pkg_.Has(office->target))
            Fail(QStringLiteral("the file holds no workbook"));
        const QString workbookPart = office->target;
        const auto bookRels = ReadRels(pkg_, workbookPart);
        if (const Relationship *sst = FindRel(bookRels, QLatin1String("/sharedStrings")))
            ReadSharedStrings(sst->target);

        struct SheetEntry {
            QString name;
            QString relId;
        };
        std::vector<SheetEntry> entries;
        int activeTab = 0;
        {
            const QByteArray data = pkg_.Read(workbookPart);
            QXmlStreamReader xml(data);
            while (!xml.atEnd()) {
                if (xml.readNext() != QXmlStreamReader::StartElement)
                    continue;
                if (xml.name() == QLatin1String("sheet")) {
                    if (static_cast<int>(entries.size()) >= limits_.maxSheets)
                        Fail(QStringLiteral("the workbook has too many sheets"));
                    SheetEntry e;
                    for (const auto &a : xml.attributes()) {
                        if (a.name() == QLatin1String("name") && a.namespaceUri().isEmpty())
                            e.name = a.value().toString();
                        else if (a.name() == QLatin1String("id") &&
                                 a.namespaceUri().contains(QLatin1String("relationships")))
                            e.relId = a.value().toString();
                    }
                    entries.push_back(e);
                } else if (xml.name() == QLatin1String("workbookView")) {
                    bool ok = false;
                    int tab = xml.attributes().value(QLatin1String("activeTab")).toInt(&ok);
                    if (ok)
                        activeTab = tab;
                }
            }
            CheckXml(xml, workbookPart);
        }
        if (entries.empty())
            Fail(QStringLiteral("the workbook has no sheets"));

        auto book = std::make_unique<Workbook>();
        for (const SheetEntry &e : entries) {
            Worksheet *sheet = book->AppendSheet(DecodeEscapes(e.name));
            const Relationship *rel = nullptr;
            for (const Relationship &r : bookRels) {
                if (r.id == e.relId)
                    rel = &r;
            }
            // Chart sheets and dialog sheets have no cells; they are kept as empty sheets.
            if (rel != nullptr && TypeIs(rel->type, QLatin1String("/worksheet"))) {
                if (!pkg_.Has(rel->target))
                    Fail(QStringLiteral("part \"%1\" is missing").arg(rel->target));
                ReadSheet(*sheet, rel->target);
            } else if (rel == nullptr) {
                Fail(QStringLiteral("sheet \"%1\" has no part").arg(e.name));
            }
        }
        book->SetActive(std::clamp(activeTab, 0, book->SheetCount() - 1));
        book->SetModified(false);
        return book;
    }

  private:
    void CountCell()
    {
        if (++cells_ > limits_.maxCells)
            Fail(QStringLiteral("the workbook has too many cells"));
    }

    void ReadSharedStrings(const QString &part)
    {
        if (!pkg_.Has(part))
            return;
        const QByteArray data = pkg_.Read(part);
        QXmlStreamReader xml(data);
        while (!xml.atEnd()) {
            if (xml.readNext() == QXmlStreamReader::StartElement &&
                xml.name() == QLatin1String("si")) {
                CountCell();
                strings_.push_back(ReadRichText(xml));
            }
        }
        CheckXml(xml, part);
    }

    void ReadSheet(Worksheet &sheet, const QString &part)
    {
        const QByteArray data = pkg_.Read(part);
        QXmlStreamReader xml(data);
        int row = 0;
        int column = 0;
        bool inSheetData = false;
        while (!xml.atEnd()) {
            const auto token = xml.readNext();
            if (token == QXmlStreamReader::EndElement) {
                if (xml.name() == u"sheetData")
                    inSheetData = false;
                continue;
            }
            if (token != QXmlStreamReader::StartElement)
                continue;
            const QStringView name = xml.name();
            if (name == u"sheetData") {
                inSheetData = true;
            } else if (inSheetData && name == u"row") {
                const QStringView r = xml.attributes().value(QLatin1String("r"));
                if (r.isEmpty()) {
                    ++row;
                } else {
                    bool ok = false;
                    row = r.toInt(&ok);
                    if (!ok || row < 1 || row > MaxRows)
                        Fail(QStringLiteral("part \"%1\" has a bad row number").arg(part));
                }
                column = 0;
            } else if (inSheetData && name == u"c") {
                ReadCell(sheet, xml, part, row, column);
            }
        }
        CheckXml(xml, part);

        const auto rels = ReadRels(pkg_, part);
        if (const Relationship *comments = FindRel(rels, QLatin1String("/comments"))) {
            std::map<std::pair<int, int>, bool> shown;
            if (const Relationship *vml = FindRel(rels, QLatin1String("/vmlDrawing")))
                shown = ReadNoteVisibility(vml->target);
            ReadComments(sheet, comments->target, shown);
        }
    }

    void ReadCell(Worksheet &sheet, QXmlStreamReader &xml, const QString &part, int &row,
                  int &column)
    {
        CountCell();
        const auto attrs = xml.attributes();
        const QStringView ref = attrs.value(QLatin1String("r"));
        if (ref.isEmpty()) {
            ++column;
            if (row < 1)
                row = 1;
        } else {
            int r = 0;
            if (!ParseCellRef(ref, r, column))
                Fail(QStringLiteral("part \"%1\" has a bad cell reference").arg(part));
            row = r;
        }
        if (!Worksheet::InRange(row, column))
            Fail(QStringLiteral("part \"%1\" has a cell outside the sheet").arg(part));
        enum class Type { Number, Shared, Inline, Boolean, Text } type = Type::Number;
        const QStringView t = attrs.value(QLatin1String("t"));
        if (t.isEmpty() || t == QLatin1String("n"))
            type = Type::Number;
        else if (t == QLatin1String("s"))
            type = Type::Shared;
        else if (t == QLatin1String("inlineStr"))
            type = Type::Inline;
        else if (t == QLatin1String("b"))
            type = Type::Boolean;
        else // "str" (formula text), "e" (error code), "d" (ISO date): kept as texts
            type = Type::Text;

        // The value text is gathered in a small buffer on the stack (a copy is made only for
        // long texts), which keeps the many number cells free of allocations.
        char16_t small[64];
        qsizetype smallLength = 0;
        QString longValue;
        bool isLong = false;
        bool hasValue = false;
        QString inlineText;
        bool hasInline = false;
        int depth = 1;
        while (depth > 0 && !xml.atEnd()) {
            const auto token = xml.readNext();
            if (token == QXmlStreamReader::StartElement) {
                if (xml.name() == u"v") {
                    hasValue = true;
                    while (!xml.atEnd()) {
                        const auto inner = xml.readNext();
                        if (inner == QXmlStreamReader::Characters) {
                            const QStringView piece = xml.text();
                            if (!isLong &&
                                smallLength + piece.size() <= qsizetype(std::size(small))) {
                                std::copy(piece.utf16(), piece.utf16() + piece.size(),
                                          small + smallLength);
                                smallLength += piece.size();
                            } else {
                                if (!isLong)
                                    longValue = QStringView(small, smallLength).toString();
                                isLong = true;
                                longValue += piece;
                            }
                        } else if (inner == QXmlStreamReader::EndElement) {
                            break;
                        } else if (inner == QXmlStreamReader::StartElement) {
                            xml.skipCurrentElement();
                        }
                    }
                } else if (xml.name() == u"is") {
                    inlineText = ReadRichText(xml);
                    hasInline = true;
                } else {
                    ++depth;
                }
            } else if (token == QXmlStreamReader::EndElement) {
                --depth;
            }
        }
        if (xml.hasError())
            return; // reported by the caller
        const QStringView value = isLong ? QStringView(longValue) : QStringView(small, smallLength);

        if (type == Type::Inline) {
            if (hasInline && !inlineText.isEmpty())
                sheet.SetText(row, column, inlineText.left(MaxTextLength));
        } else if (!hasValue) {
            // A cell without a value (for example one that only carries a style) is empty.
        } else if (type == Type::Shared) {
            bool ok = false;
            const qsizetype index = value.trimmed().toLongLong(&ok);
            if (!ok || index < 0 || index >= static_cast<qsizetype>(strings_.size()))
                Fail(QStringLiteral("part \"%1\" refers to a missing shared string").arg(part));
            if (!strings_[index].isEmpty())
                sheet.SetText(row, column, strings_[index].left(MaxTextLength));
        } else if (type == Type::Boolean) {
            sheet.SetBoolean(
                row, column,
                value.trimmed() == QLatin1String("1") ||
                    value.trimmed().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0);
        } else if (type == Type::Text) {
            const QString text = DecodeEscapes(value.toString());
            if (!text.isEmpty())
                sheet.SetText(row, column, text.left(MaxTextLength));
        } else {
            bool ok = false;
            const double number = value.trimmed().toDouble(&ok); // C locale, "." always
            if (ok && std::isfinite(number))
                sheet.SetNumber(row, column, number);
        }
    }

    // Visibility of the notes in a legacy drawing part, by 0-based (row, column). A note is
    // shown when its shape says so (<x:Visible/> or visibility:visible); drawing parts that do
    // not parse are tolerated (their notes count as hidden).
    std::map<std::pair<int, int>, bool> ReadNoteVisibility(const QString &part)
    {
        std::map<std::pair<int, int>, bool> shown;
        if (!pkg_.Has(part))
            return shown;
        const QByteArray data = pkg_.Read(part);
        QXmlStreamReader xml(data);
        bool inShape = false;
        bool isNote = false;
        bool visible = false;
        int row = -1;
        int column = -1;
        while (!xml.atEnd() && !xml.hasError()) {
            const auto token = xml.readNext();
            if (token == QXmlStreamReader::StartElement) {
                const QStringView name = xml.name();
                if (name == QLatin1String("shape")) {
                    inShape = true;
                    isNote = false;
                    row = column = -1;
                    const QStringView style = xml.attributes().value(QLatin1String("style"));
                    visible = style.contains(QLatin1String("visibility:visible"));
                } else if (!inShape) {
                    continue;
                } else if (name == QLatin1String("ClientData")) {
                    isNote = xml.attributes().value(QLatin1String("ObjectType")) ==
                             QLatin1String("Note");
                } else if (name == QLatin1String("Visible")) {
                    visible = true;
                } else if (name == QLatin1String("Row")) {
                    row = xml.readElementText().trimmed().toInt();
                } else if (name == QLatin1String("Column")) {
                    column = xml.readElementText().trimmed().toInt();
                }
            } else if (token == QXmlStreamReader::EndElement &&
                       xml.name() == QLatin1String("shape")) {
                if (inShape && isNote && row >= 0 && column >= 0)
                    shown[{row, column}] = visible;
                inShape = false;
            }
        }
        return shown;
    }

    void ReadComments(Worksheet &sheet, const QString &part,
                      const std::map<std::pair<int, int>, bool> &shown)
    {
        if (!pkg_.Has(part))
            return;
        const QByteArray data = pkg_.Read(part);
        QXmlStreamReader xml(data);
        QString ref;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("comment")) {
                ref = xml.attributes().value(QLatin1String("ref")).toString();
            } else if (xml.name() == QLatin1String("text") && !ref.isEmpty()) {
                CountCell();
                const QString text = ReadRichText(xml);
                int row = 0;
                int column = 0;
                // A comment range ("B2:C3") belongs to its first cell.
                if (!ParseCellRef(ref.section(':', 0, 0), row, column))
                    Fail(QStringLiteral("part \"%1\" has a bad comment reference").arg(part));
                auto it = shown.find({row - 1, column - 1});
                const bool visible = it != shown.end() && it->second;
                sheet.SetComment(row, column, text.left(MaxTextLength), visible);
                ref.clear();
            }
        }
        CheckXml(xml, part);
    }

    const XlsxReadLimits &limits_;
    Package pkg_;
    std::vector<QString> strings_;
    std::int64_t cells_ = 0;
};

} // namespace

std::unique_ptr<Workbook> ReadXlsx(const QString &path, QString *error,
                                   const XlsxReadLimits &limits)
{
    try {
        if (QFileInfo(path).isDir())
            Fail(QStringLiteral("it is a folder"));
        Reader reader(path, limits);
        std::unique_ptr<Workbook> book = reader.Read();
        book->SetFilePath(QFileInfo(path).absoluteFilePath()); // not a modification
        return book;
    } catch (const ReadError &e) {
        if (error != nullptr)
            *error = QStringLiteral("Cannot read \"%1\": %2").arg(path, e.message);
    } catch (const std::bad_alloc &) {
        if (error != nullptr)
            *error = QStringLiteral("Cannot read \"%1\": out of memory").arg(path);
    }
    return nullptr;
}

} // namespace workbook
