#include "service/MonitorRow.h"

#include <algorithm>
#include <cstring>

#include "model/DataText.h"
#include "model/LocalTimeText.h"
#include "resources/CResourceStrings.h"
#include "resources/ResourceIds.h"

constexpr int kSucceeded = 4;

std::string MonitorRow::ChannelText(const std::string& deviceId, const std::string& port) {
  return "[" + deviceId + "] <-> [" + port + "]";
}

std::string MonitorRow::LinkChannel(const std::string& channel, bool tls) {
  return tls ? channel + " " + CResourceStrings::Instance().LoadString(IDS_TLS_LINK) : channel;
}

MonitorRow MonitorRow::Make(bool toCom, int code, const DataItem& item, const std::string& channel, bool tls) {
  const CResourceStrings& strings = CResourceStrings::Instance();
  const int length = std::clamp(item.Length, 0, DATA_ITEM_PAYLOAD);
  MonitorRow row;
  row.Time = LocalTimeText();
  row.Channel = LinkChannel(channel, tls);
  const bool heartbeat = toCom && item.Kind == DATA_HEARTBEAT, resent = toCom && item.Kind == DATA_RESENT;
  row.Type = strings.LoadString(heartbeat ? IDS_HEARTBEAT : resent ? IDS_RESENT_DATA : IDS_USER_DATA);
  const auto* data = reinterpret_cast<const char*>(item.Data);
  row.Text.assign(data, strnlen(data, static_cast<std::size_t>(length)));
  row.Hex = HexOf(item.Data, static_cast<std::size_t>(length));
  row.Status = strings.LoadString(code == kSucceeded ? IDS_SUCCESS : IDS_FAILURE);
  return row;
}
