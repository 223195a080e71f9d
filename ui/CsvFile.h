#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// Writes rows as a CSV file (RFC 4180: comma separated, CRLF line ends, a field with a
// comma, quote or line break quoted and its quotes doubled), UTF-8 with a byte order mark
// so that spreadsheet programs read Chinese text right. The file is replaced whole: it is
// written beside its place and renamed, so a failed export leaves an older file as it was.
// Returns an empty string, or the reason it could not be written. Any thread.
QString WriteCsvFile(const QString& path, const QStringList& header, const std::vector<QStringList>& rows);
