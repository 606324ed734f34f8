// A payment settles once, by the back-end's answer: refused reports undo it, and a payment
// whose process was killed while the back-end held its report is settled by the next
// start through the data module, as the service runs it, against the stand-in library.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/StandInJournal.h"
#include "RoutingFixture.h"
#include "tef/RiZedIzAdeTef.h"

namespace {

using norvane::Json;

class SettlementTest : public RoutingTest {
 protected:
  std::vector<std::string> Backups() {
    std::vector<std::string> names;
    if (std::filesystem::exists(folder_ + "/TEF"))
      for (const auto& entry : std::filesystem::directory_iterator(folder_ + "/TEF"))
        // The kept results of finished operations live beside the backups; they are no backup.
        if (entry.path().filename() != "results.json") names.push_back(entry.path().filename().string());
    return names;
  }
  static std::string Sale(const std::string& session) {
    return R"({"route":"/transaction","session_uuid":")" + session +
           R"(","type":"transaction","operation":3,"payer_name":"Ana","transaction_value":"10,50","sale_id":42,"number_of_installments":3})";
  }
  static std::string Answer(const std::string& kind, const std::string& response) {
    return R"({"route":"/transaction","type":")" + kind + R"(","response":")" + response + R"(","back_menu":false})";
  }
  static std::vector<Json> Results(const std::vector<std::string>& sent) {
    std::vector<Json> results;
    for (const auto& text : sent) {
      const Json message = norvane::parse_json_text(text).value;
      if (message.value("type", "") == "result") results.push_back(message);
    }
    return results;
  }
  const std::string confirmed_ = R"(confirma=1 transacao="confirmada")";
  const std::string undone_ = R"(confirma=0 transacao="desfeita")";
};

// A report the back-end refuses undoes the payment once, and the client hears "canceled".
TEST_F(SettlementTest, ARefusedReportUndoesThePaymentOnce) {
  const std::string session = StartSession();
  struct Row {
    long status;
    std::string body;
  };
  const Row rows[] = {{500, "falhou"}, {422, R"({"message":"Venda já paga"})"}, {404, ""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    std::filesystem::remove(folder_ + "/dll/CliSiTef.journal");
    int posts = 0;
    dm_.SetExecuteRequest([&](TRESTRequestMethod, const std::string&, const TArrayParamRequest&, const std::string&) {
      ++posts;
      return std::make_unique<TRESTResponse>(TRESTResponse{row.status, "Refused", row.body});
    });
    channel_.sent.clear();
    channel_.Queue(Answer("question", "Sim"));
    channel_.Queue(R"({"route":"/transaction","type":"confirmation"})");  // "Transação "TEF" não efetuada."
    dm_.StartTransaction(Sale(session), nullptr);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(Finalisations(), std::vector<std::string>{undone_}) << Journal();
    const std::vector<Json> results = Results(channel_.Sent());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["status"], "canceled");
    EXPECT_EQ(results[0]["transaction_data"][0]["payment_id"], 0);
    EXPECT_TRUE(Backups().empty());
    EXPECT_FALSE(dm_.OperationRunning());
  }
}

// A cancel that comes after the card is read (here, as the answer to the installments'
// question) cannot stop the payment: the client was told so before the first question, the
// cancel is logged and dropped, and the payment goes on to its report and is confirmed once.
// A cancellation that stands when the library approves anyway (however it came to stand)
// undoes the payment at once: never reported, one result "canceled", nothing left pending.
TEST_F(SettlementTest, ALateCancellationNeverLeavesAnApprovedPaymentUnsettled) {
  {
    // One wait for the card: cancelling becomes possible there.
    std::ofstream ini(folder_ + "/dll/CliSiTef.ini");
    ini << "[Simulator]\nPollCount=1\nPollIntervalMs=0\n";
  }
  const std::string session = StartSession();
  struct Row {
    const char* what;
    bool cancellation_stands;  // set when the installments' question is asked
    int posts;
    std::vector<std::string> finalisations;
    const char* status;
  };
  const Row rows[] = {
      {"a cancel sent after the card is read", false, 1, {confirmed_}, "approved"},
      {"a cancellation standing at the approval", true, 0, {undone_}, "canceled"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(folder_ + "/dll/CliSiTef.journal");
    int posts = 0;
    dm_.SetExecuteRequest([&](TRESTRequestMethod, const std::string&, const TArrayParamRequest&, const std::string&) {
      ++posts;
      return std::make_unique<TRESTResponse>(TRESTResponse{201, "Created", R"({"data":1})"});
    });
    // The client answers the first question with a cancel and then "Sim", and acknowledges
    // every notice.
    class Client : public RecordingChannel {
     public:
      Client(TDmSitef& dm, bool stands) : dm_(dm), stands_(stands) {}
      void SendClientMessage(const std::string& text) override {
        RecordingChannel::SendClientMessage(text);
        if (text.rfind(R"({"type":"question")", 0) == 0) {
          if (questions_++ == 0) {
            Queue(R"({"route":"/transaction/cancel","type":"cancellation"})");
            if (stands_) TDmSitefProbe{dm_}.OweStop(TDmSitef::TStopReason::CashierCancel);
          }
          Queue(Answer("question", "Sim"));
        } else if (text.rfind(R"({"type":"confirmation")", 0) == 0) {
          Queue(R"({"route":"/transaction","type":"confirmation"})");
        }
      }

     private:
      TDmSitef& dm_;
      bool stands_;
      int questions_ = 0;
    } client(dm_, row.cancellation_stands);
    dm_.SetClientChannel(&client);
    dm_.StartTransaction(Sale(session), nullptr);
    const std::vector<std::string> sent = client.Sent();
    EXPECT_EQ(posts, row.posts);
    EXPECT_EQ(Finalisations(), row.finalisations) << Journal();
    const std::vector<Json> results = Results(sent);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["status"], row.status);
    EXPECT_TRUE(dm_.Tef().RespostasPendentes().Empty());
    EXPECT_TRUE(Backups().empty());
    // Cancelling opened at the card's wait, and closed before anything else the library did
    // after it.
    const auto is = [](const std::string& text, const char* start) { return text.rfind(start, 0) == 0; };
    std::vector<std::size_t> opened, closed;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      if (sent[i] == R"({"type":"can_cancel","can_cancel":true})") opened.push_back(i);
      if (sent[i] == R"({"type":"can_cancel","can_cancel":false})") closed.push_back(i);
    }
    ASSERT_EQ(opened.size(), 1u);
    ASSERT_EQ(closed.size(), 1u);
    ASSERT_LT(opened[0], closed[0]);
    for (std::size_t i = opened[0] + 1; i < closed[0]; ++i)
      EXPECT_FALSE(is(sent[i], R"({"type":"menu")") || is(sent[i], R"({"type":"question")") ||
                   is(sent[i], R"({"type":"collect")") || is(sent[i], R"({"type":"message")"))
          << sent[i];
    dm_.SetClientChannel(&channel_);
  }
}

// The process killed while the back-end held the report: the next session start reports it
// again with the same body and settles it by that answer; no answer keeps it for later.
TEST_F(SettlementTest, APaymentKilledDuringItsReportIsSettledByTheNextStart) {
  struct Row {
    const char* what;
    long status;  // 0: no answer (transport failure)
    std::vector<std::string> finalisations;
    bool kept;
  };
  const Row rows[] = {
      {"accepted", 201, {confirmed_}, false},
      {"refused", 500, {undone_}, false},
      {"no answer", 0, {}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove_all(folder_ + "/TEF");
    std::filesystem::remove(folder_ + "/dll/CliSiTef.journal");
    std::filesystem::remove(folder_ + "/dll/CliSiTef.pendentes");

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_ends[0]);
      RecordingChannel channel;
      TDmSitef dm;
      dm.Tef().SetArqLOG(folder_ + "/tef.log");
      dm.SetClientChannel(&channel);
      dm.RouteTargeting(StartMessage(ValidClaims()));
      const Json reply = norvane::parse_json_text(channel.Sent().back()).value;
      dm.SetExecuteRequest([&](TRESTRequestMethod, const std::string&, const TArrayParamRequest&, const std::string& body) {
        // The back-end holds its answer: the body goes to the test, and the process waits to be killed.
        const std::string text = body + '\0';
        (void)!write(pipe_ends[1], text.data(), text.size());
        for (;;) pause();
        return std::unique_ptr<TRESTResponse>();
      });
      channel.Queue(Answer("question", "Sim"));
      dm.StartTransaction(Sale(reply.value("session_uuid", "")), nullptr);
      _exit(1);
    }
    close(pipe_ends[1]);
    std::string first_body;
    char c = 0;
    while (read(pipe_ends[0], &c, 1) == 1 && c != '\0') first_body += c;
    close(pipe_ends[0]);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_FALSE(first_body.empty());
    ASSERT_EQ(Backups().size(), 1u);
    ASSERT_TRUE(Finalisations().empty());

    // The restarted service: a new data module, its first session start.
    RecordingChannel channel;
    TDmSitef dm;
    dm.Tef().SetArqLOG(folder_ + "/tef.log");
    dm.SetClientChannel(&channel);
    std::vector<std::string> posted;
    dm.SetExecuteRequest([&](TRESTRequestMethod, const std::string& url, const TArrayParamRequest&,
                             const std::string& body) -> std::unique_ptr<TRESTResponse> {
      posted.push_back(body);
      EXPECT_EQ(url.rfind("https://vendas.example/api/v1/sales/tef/callback/", 0), 0u) << url;
      if (row.status == 0) throw ERestRequestError("Request Error Connection refused");
      return std::make_unique<TRESTResponse>(TRESTResponse{row.status, "Answer", R"({"data":77})"});
    });
    dm.RouteTargeting(StartMessage(ValidClaims()));
    std::vector<std::string> replies = channel.Sent();
    std::erase_if(replies, [](const std::string& r) { return r.rfind(R"({"type":"message",)", 0) == 0; });
    ASSERT_EQ(replies.size(), 1u) << replies.back();  // the session reply, and nothing of the old payment
    EXPECT_EQ(norvane::parse_json_text(replies[0]).value.value("type", ""), "session");
    EXPECT_EQ(posted, std::vector<std::string>{first_body});
    EXPECT_EQ(Finalisations(), row.finalisations) << Journal();
    EXPECT_EQ(Backups().size(), row.kept ? 1u : 0u);
    EXPECT_FALSE(dm.OperationRunning());

    // Once: a later start settles nothing more, and reports nothing when nothing is left.
    TDmSitef later;
    later.Tef().SetArqLOG(folder_ + "/tef.log");
    RecordingChannel later_channel;
    later.SetClientChannel(&later_channel);
    std::vector<std::string> later_posts;
    later.SetExecuteRequest([&](TRESTRequestMethod, const std::string&, const TArrayParamRequest&, const std::string& body) {
      later_posts.push_back(body);
      return std::make_unique<TRESTResponse>(TRESTResponse{201, "Created", "{}"});
    });
    later.RouteTargeting(StartMessage(ValidClaims()));
    if (row.kept) {
      EXPECT_EQ(later_posts, std::vector<std::string>{first_body});
      EXPECT_EQ(Finalisations(), std::vector<std::string>{confirmed_});
    } else {
      EXPECT_TRUE(later_posts.empty());
      EXPECT_EQ(Finalisations(), row.finalisations);
    }
    EXPECT_TRUE(Backups().empty());
  }
}

}  // namespace
