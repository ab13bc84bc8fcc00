#include "drv/CaptureFile.h"

#include <pcap/pcap.h>

#include <memory>

namespace zorn {
namespace drv {

bool readCapture(const std::string& path, std::vector<CaptureRecord>& out, std::string& error) {
    char text[PCAP_ERRBUF_SIZE] = {0};
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, text);
    if (pcap == nullptr) {
        // libpcap names the file itself when it cannot open it.
        const std::string reason = text;
        error = reason.rfind(path, 0) == 0 ? reason : path + ": " + reason;
        return false;
    }
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> guard(pcap, pcap_close);
    if (pcap_datalink(pcap) != CAPTURE_LINK_TYPE) {
        error = path + ": link type " + std::to_string(pcap_datalink(pcap)) + ", not the control bus's " +
                std::to_string(CAPTURE_LINK_TYPE) + " (DLT_USER0)";
        return false;
    }
    std::vector<CaptureRecord> records;
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int status = pcap_next_ex(pcap, &header, &data);
        if (status == PCAP_ERROR_BREAK) break;  // end of the file
        const std::string where = path + ": packet " + std::to_string(records.size() + 1);
        if (status != 1) {
            error = where + ": " + pcap_geterr(pcap);
            return false;
        }
        if (header->caplen != header->len || header->caplen < 2 || data[0] > CAPTURE_SKIPPED) {
            error = where + " is not a control-bus packet (direction byte and frame bytes)";
            return false;
        }
        CaptureRecord record;
        record.timeNs = static_cast<int64_t>(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
        record.direction = data[0];
        record.bytes.assign(data + 1, data + header->caplen);
        records.push_back(std::move(record));
    }
    out.swap(records);
    return true;
}

}  // namespace drv
}  // namespace zorn
