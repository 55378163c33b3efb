// Arbitrary bytes from the serial line into the frame parser.
#include "orvanite/uart_connector.h"

#include <fcntl.h>

#include "fuzz/fuzz_common.h"

namespace {

UartConnector& connector() {
    static UartConnector* conn = [] {
        fuzz::silenceLog();
        auto* c = new UartConnector([](double angle, int beam) { (void)(angle + beam); }, "/dev/ttyACM0");
        c->serial_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        return c;
    }();
    return *conn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UartConnector& conn = connector();
    for (size_t i = 0; i < size; ++i) conn.deal_with(data[i]);
    // Zeros finish any frame under way (none is longer than the buffer) and are then dropped,
    // so the next input starts at rest.
    for (int i = 0; i < RX_BUFFER_SIZE; ++i) conn.deal_with(0);
    conn.wakeup_pause = 0;
    for (uint8_t b : conn.rx_buffer)
        if (b != 0) __builtin_trap();
    return 0;
}
