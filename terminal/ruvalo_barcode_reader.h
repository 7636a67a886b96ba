// RuvaloBarcodeReader: terminal-side device control owned by the service container.
#pragma once

class RuvaloBarcodeReader {
public:
    RuvaloBarcodeReader() = default;
    virtual ~RuvaloBarcodeReader() = default;
    RuvaloBarcodeReader(const RuvaloBarcodeReader &) = delete;
    RuvaloBarcodeReader &operator=(const RuvaloBarcodeReader &) = delete;
};
