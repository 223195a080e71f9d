#include "resources/ListColumns.h"

#include "resources/ResourceIds.h"

namespace {

constexpr ListColumn kDeviceList[] = {
    {IDS_COL_DEVICE_ID, 100}, {IDS_COL_PHONE, 150},      {IDS_COL_SOURCE_IP, 160},  {IDS_COL_PORT, 80},
    {IDS_COL_BAUD_RATE, 90},  {IDS_COL_LINK_STATE, 100}, {IDS_COL_PORT_STATE, 100}, {IDS_COL_BYTES_IN, 130},
    {IDS_COL_BYTES_OUT, 130}, {IDS_COL_NOTE, 130},      {IDS_COL_REMOTE_ADDRESS, 170}, {IDS_COL_LAST_DATA, 150},
};

constexpr ListColumn kTunnelList[] = {
    {IDS_COL_DEVICE_ID, 120}, {IDS_COL_PORT, 108},      {IDS_COL_BAUD_RATE, 100}, {IDS_COL_DATA_BITS, 100},
    {IDS_COL_PARITY, 100},    {IDS_COL_STOP_BITS, 100}, {IDS_COL_NOTE, 100},
};

constexpr ListColumn kChannelList[] = {{IDS_COL_CHANNEL, 150}};

constexpr ListColumn kMonitorRows[] = {
    {IDS_COL_TIME, 150}, {IDS_COL_CHANNEL, 150}, {IDS_COL_DATA_TYPE, 80}, {IDS_COL_DATA, 200},
    {IDS_COL_FORWARD_STATUS, 120},
};

constexpr ListColumn kNotTransResults[] = {
    {IDS_COL_NUMBER, 75}, {IDS_COL_TIME, 150}, {IDS_COL_DEVICE_ID, 75}, {IDS_COL_DATA, 250}};

}  // namespace

std::span<const ListColumn> ListColumns(unsigned dialogId, unsigned controlId) {
  switch (dialogId) {
    case IDD_SIMULATION:
      if (controlId == IDC_DEVICE_LIST) return kDeviceList;
      break;
    case IDD_MGT_DEVICE:
      if (controlId == IDC_MGT_DEVICE_LIST) return kTunnelList;
      break;
    case IDD_MONITOR:
      if (controlId == IDC_MONITOR_CHANNELS) return kChannelList;
      if (controlId == IDC_MONITOR_TCP_TO_COM || controlId == IDC_MONITOR_COM_TO_TCP ||
          controlId == IDC_MONITOR_TCP_TO_COM_HEX || controlId == IDC_MONITOR_COM_TO_TCP_HEX) {
        return kMonitorRows;
      }
      break;
    case IDD_MGT_DATA:
      if (controlId == IDC_DATA_RESULTS) return kNotTransResults;
      break;
    default:
      break;
  }
  return {};
}
