// The event loop: the io_context every socket of the hub runs on, with its timers and signals.
#include "net/shared.h"

namespace hub::net {

void Loop::Impl::wait(Ticker& ticker) {
  ticker.timer.async_wait([this, &ticker](error_code ec) {
    if (ec) return;
    ticker.work();
    ticker.timer.expires_at(ticker.timer.expiry() + ticker.period);
    wait(ticker);
  });
}

void Loop::Impl::awaitHangup() {
  hangup.async_wait([this](error_code ec, int) {
    if (ec) return;
    for (auto& work : hangupWork) work();
    awaitHangup();
  });
}

Loop::Loop() : impl_(std::make_unique<Impl>()) { impl_->awaitHangup(); }
Loop::~Loop() = default;

void Loop::post(std::function<void()> work) { asio::post(impl_->ioc, std::move(work)); }

void Loop::every(std::chrono::milliseconds period, std::function<void()> work) {
  auto& ticker = impl_->tickers.emplace_back(
      std::make_unique<Impl::Ticker>(Impl::Ticker{asio::steady_timer(impl_->ioc), period, std::move(work)}));
  ticker->timer.expires_after(period);
  impl_->wait(*ticker);
}

void Loop::onHangup(std::function<void()> work) { impl_->hangupWork.push_back(std::move(work)); }

void Loop::onStopSignal(std::function<void()> onStop) {
  impl_->signals.async_wait([onStop = std::move(onStop)](error_code ec, int) {
    if (!ec) onStop();
  });
}

void Loop::run() { impl_->ioc.run(); }

void Loop::stop() {
  impl_->keepRunning.reset();
  impl_->ioc.stop();
}

}  // namespace hub::net
