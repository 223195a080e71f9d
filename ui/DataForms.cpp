#include "ui/DataForms.h"

#include <QStringDecoder>
#include <string>

#include "model/DataText.h"

QString SpacedHex(const unsigned char* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  QString hex;
  hex.reserve(static_cast<qsizetype>(length * 3));
  for (std::size_t i = 0; i < length; ++i) {
    if (i > 0) hex += QLatin1Char(' ');
    hex += QLatin1Char(kDigits[data[i] >> 4]);
    hex += QLatin1Char(kDigits[data[i] & 0x0F]);
  }
  return hex;
}

QString DisplayText(const unsigned char* data, std::size_t length) {
  const std::string text = TextOf(data, length);
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString shown = decoder.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (!decoder.hasError()) return shown;
  shown.clear();
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80)
      shown += QLatin1Char(c);
    else
      shown += QStringLiteral("\\x") + QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
  }
  return shown;
}
