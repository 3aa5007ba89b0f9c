#include "sim/lossy_line.h"

namespace vtrl::sim {

LossyLine::LossyLine(double rate, uint32_t seed, unsigned kinds) : rate_(rate), random_(seed) {
    for (Kind k : {kLost, kCorrupted, kDelayed}) {
        if ((kinds & k) != 0) {
            kinds_.push_back(k);
        }
    }
}

ExchangeAction LossyLine::Decide(uint32_t exchange, const std::vector<uint8_t>& request) {
    (void)request;
    shaping_ = false;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (kinds_.empty() || !(chance(random_) < rate_)) {
        return ExchangeAction::kAnswer;
    }
    disturbed_.push_back(exchange);
    std::uniform_int_distribution<size_t> pick(0, kinds_.size() - 1);
    pending_ = kinds_[pick(random_)];
    if (pending_ == kLost) {
        return ExchangeAction::kSilent;
    }
    shaping_ = true;
    return ExchangeAction::kAnswer;
}

void LossyLine::Shape(uint32_t exchange, const std::vector<uint8_t>& request,
                      Instrument::Reply* reply) {
    (void)exchange;
    (void)request;
    if (!shaping_ || reply->bytes.empty()) {
        return;
    }
    shaping_ = false;
    if (pending_ == kDelayed) {
        reply->delay_ms += kPastTimeoutMs;
        return;
    }
    std::uniform_int_distribution<size_t> at(0, reply->bytes.size() - 1);
    std::uniform_int_distribution<int> mask(1, 255);
    reply->bytes[at(random_)] ^= static_cast<uint8_t>(mask(random_));
}

}  // namespace vtrl::sim
