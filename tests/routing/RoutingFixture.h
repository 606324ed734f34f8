#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "datamodule/ntDmSitef.h"
#include "../support/DmSitefProbe.h"
#include "../support/StandInJournal.h"

// The client side of the data module: records every service message it is sent, and hands
// the data module the client messages a test queues (in order, from any thread), as the
// connection's inbox does.
class RecordingChannel : public TClientChannel {
 public:
  TClientRead WaitClientMessage(std::chrono::milliseconds timeout) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waits_;
    asked_.notify_all();
    arrived_.wait_for(lock, timeout, [this] { return !inbox_.empty() || gone_; });
    if (!inbox_.empty()) {
      std::string text = std::move(inbox_.front());
      inbox_.pop_front();
      return {TClientRead::Kind::Message, std::move(text)};
    }
    return {gone_ ? TClientRead::Kind::Disconnected : TClientRead::Kind::TimedOut, {}};
  }
  void SendClientMessage(const std::string& pMsg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent.push_back(pMsg);
    if (on_send) on_send(pMsg);
  }
  // Called with each message as it is sent (under the channel's lock), when set.
  std::function<void(const std::string&)> on_send;
  // A message of the client, taken by the next wait.
  void Queue(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    inbox_.push_back(text);
    arrived_.notify_all();
  }
  // The client goes away: every later wait answers Disconnected once the inbox is empty.
  void Disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
    arrived_.notify_all();
  }
  // Blocks until the data module has waited for the client at least once (it asked
  // something, or is watching for a cancellation during a wait).
  void WaitUntilAsked() {
    std::unique_lock<std::mutex> lock(mutex_);
    asked_.wait(lock, [this] { return waits_ > 0; });
  }
  // Client messages not yet taken by a wait.
  std::size_t Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inbox_.size();
  }
  std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent;
  }
  std::vector<std::string> sent;

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable asked_;
  std::deque<std::string> inbox_;
  int waits_ = 0;
  bool gone_ = false;
};

// A data module in a scratch service folder (with its ini), on a clock the test moves.
class RoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-routing-XXXXXX";
    folder_ = mkdtemp(pattern);
    norvane::set_exe_folder_for_tests(folder_ + "/");
    SetPdvNumber("3");
    // The stand-in library answers at once; the CliSiTef control folder lives here too.
    std::filesystem::create_directories(folder_ + "/dll");
    std::filesystem::copy_file(SIM_LIBRARY, folder_ + "/dll/CliSiTef32I.dll");
    SetStandIn({});
    setenv("NORVANE_CLISITEF_ROOT", (folder_ + "/CliSiTef").c_str(), 1);
    dm_.Tef().SetArqLOG(folder_ + "/tef.log");
    // A wait on the service's clock (a notice's countdown) moves it instead of sleeping.
    norvane::set_clock_for_tests([this] { return clock_; }, [this](norvane::TimePoint at) { clock_ = at; });
    dm_.SetClientChannel(&channel_);
  }
  void TearDown() override {
    if (HasFailure() && std::getenv("NORVANE_SHOW_TEF_LOG") != nullptr) {
      std::ifstream log(folder_ + "/tef.log");
      std::cerr << log.rdbuf();
    }
    unsetenv("NORVANE_CLISITEF_ROOT");
    norvane::set_clock_for_tests({});
    norvane::set_exe_folder_for_tests("");
    std::filesystem::remove_all(folder_);
  }

  void SetPdvNumber(const std::string& value) {
    std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini") << "[Sitef]\nserver_port=0\npdv_number=" << value << "\n";
  }

  // The stand-in's settings: no waits, plus the given "Key=value" lines.
  void SetStandIn(const std::vector<std::string>& settings) {
    std::ofstream ini(folder_ + "/dll/CliSiTef.ini");
    ini << "[Simulator]\nPollCount=0\nPollIntervalMs=0\n";
    for (const auto& line : settings) ini << line << "\n";
  }
  std::string Journal() {
    std::ifstream file(folder_ + "/dll/CliSiTef.journal", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  // The stand-in's finalisations, in order ("confirma=N transacao=outcome").
  std::vector<std::string> Finalisations() { return StandInFinalisations(Journal()); }

  // Routes one message and returns what the client was sent for it.
  std::vector<std::string> Route(const std::string& text) {
    channel_.sent.clear();
    dm_.RouteTargeting(text);
    return channel_.sent;
  }

  // Routes a session start and returns its replies without the messages of the TEF
  // initialisation that a first start (or a changed configuration) sends before them.
  std::vector<std::string> RouteStart(const std::string& text) {
    std::vector<std::string> replies = Route(text);
    std::erase_if(replies, [](const std::string& reply) { return reply.rfind(R"({"type":"message",)", 0) == 0; });
    return replies;
  }

  static norvane::Json ValidClaims() {
    return norvane::Json::parse(R"({"secctional_code":"1009","ip_address":"10.0.0.5","store_code":"00000001",
      "additional_parameters":"ParmsClient=1","operator":"CAIXA 1","sale_id":42,"company_id":7,
      "callback_url":"https://vendas.example/api/","iat":1700000000})");
  }
  static std::string StartMessage(const norvane::Json& claims) {
    norvane::Json message = norvane::Json::object();
    message["route"] = "/session/start";
    message["type"] = "session";
    message["token"] = GenerateJWT(std::string(kSharedTokenSecret), claims);
    return norvane::write_json(message);
  }
  // Starts a session with valid claims and returns its identifier.
  std::string StartSession() {
    const auto replies = Route(StartMessage(ValidClaims()));
    EXPECT_FALSE(replies.empty());
    // The TEF initialisation messages of a first start come before the reply.
    const auto reply = norvane::parse_json_text(replies.empty() ? "" : replies.back()).value;
    return reply.is_object() && reply.contains("session_uuid") ? reply["session_uuid"].get<std::string>() : "";
  }

  std::string folder_;
  norvane::TimePoint clock_ = norvane::TimePoint(std::chrono::seconds(1780000000)) + std::chrono::milliseconds(250);
  RecordingChannel channel_;
  TDmSitef dm_;
  TDmSitefProbe probe_{dm_};
};

inline std::string ErrorReply(const std::string& text) { return BuildErrorReply(text); }
