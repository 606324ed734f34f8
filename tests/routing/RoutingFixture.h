#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/ExeFolder.h"
#include "routing/JsonText.h"
#include "routing/Jwt.h"
#include "routing/ntDmSitef.h"

// The client side of the data module: records every service message it is sent.
class RecordingChannel : public TClientChannel {
 public:
  TClientRead WaitClientMessage(std::chrono::milliseconds) override {
    return {TClientRead::Kind::Disconnected, {}};
  }
  void SendClientMessage(const std::string& pMsg) override { sent.push_back(pMsg); }
  std::vector<std::string> sent;
};

// A data module in a scratch service folder (with its ini), on a clock the test moves.
class RoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-routing-XXXXXX";
    folder_ = mkdtemp(pattern);
    norvane::set_exe_folder_for_tests(folder_ + "/");
    SetPdvNumber("3");
    norvane::set_clock_for_tests([this] { return clock_; });
    dm_.SetClientChannel(&channel_);
  }
  void TearDown() override {
    norvane::set_clock_for_tests({});
    norvane::set_exe_folder_for_tests("");
    std::filesystem::remove_all(folder_);
  }

  void SetPdvNumber(const std::string& value) {
    std::ofstream(folder_ + "/" + norvane::exe_base_name() + ".ini") << "[Sitef]\nserver_port=0\npdv_number=" << value << "\n";
  }

  // Routes one message and returns what the client was sent for it.
  std::vector<std::string> Route(const std::string& text) {
    channel_.sent.clear();
    dm_.RouteTargeting(text, nullptr);
    return channel_.sent;
  }

  static norvane::Json ValidClaims() {
    return norvane::Json::parse(R"({"secctional_code":"1009","ip_address":"10.0.0.5","store_code":"00000001",
      "additional_parameters":"[ParmsClient=1=1]","operator":"CAIXA 1","sale_id":42,"company_id":7,
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
    EXPECT_EQ(replies.size(), 1u);
    const auto reply = norvane::parse_json_text(replies.empty() ? "" : replies[0]).value;
    return reply.is_object() && reply.contains("session_uuid") ? reply["session_uuid"].get<std::string>() : "";
  }

  std::string folder_;
  norvane::TimePoint clock_ = norvane::TimePoint(std::chrono::seconds(1780000000)) + std::chrono::milliseconds(250);
  RecordingChannel channel_;
  TDmSitef dm_;
};

inline std::string ErrorReply(const std::string& text) { return BuildErrorReply(text); }
