#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <stop_token>
#include <thread>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/IniFile.h"
#include "platform/Metrics.h"
#include "rest/uRest.h"
#include "datamodule/PaymentRecord.h"
#include "datamodule/ResultStore.h"
#include "routing/JsonText.h"
#include "routing/SessionList.h"
#include "tef/RiZedIzAde.h"
#include "tef/RiZedIzAdeTef.h"
#include "websocket/ClientChannel.h"

class TPrintQueue;  // the print queue thread (printing/ntPrintQueue.h)

// The claims a session start reads for the TEF configuration, in the order it reads them.
// They are read (so that a token lacking one fails there) and kept here for the TEF set-up.
struct TSessionTefClaims {
  std::string connection_type;     // empty when the token has none
  std::string store_cnpj;          // digits only; TLS only
  std::string tef_cnpj;            // digits only; TLS only
  std::string registration_token;  // TLS only
  std::string ip_address;
  std::string store_code;
  std::string terminal_number;
  std::string additional_parameters;
  std::string operator_name;
};

// The one data module: routes client messages to their operations and holds the TEF
// component, the sessions and the running operation's state.
//
// Threads: the listener routes every message, whichever connection it came from, on its one
// operation thread, one at a time, and tells that thread when the current client went away.
// The session list has its own lock; the flags are atomic (tests run operations from
// threads of their own); the other fields belong to the operation that runs for the
// current client.
//
// How an operation stands, read from its fields:
//  - idle: fProcessando is false; every route is served.
//  - running: StartTransaction took fProcessando and named the payment (its key and request
//    in FRunningIdempotencyKey and FRunningFingerprint). The library leads a dialogue; each of
//    its questions waits for the client's answer (GetClientResponse), and messages that are
//    no answer are served or refused meanwhile (HandleMessageDuringOperation).
//  - stopping: something owes the library a stop (FStopOwed, with its TStopReason): the
//    cashier cancelled, no answer came, the client went away or flooded, the library itself
//    ended. The library is told at its next turn; the cancel question's "Não" takes a stop back.
//  - approved: the library approved (fConcluido). From here the payment's own journal, its
//    backup (TPaymentState: reported, decided, settled), says how far its settlement got.
//  - ended: HowOperationEnded says approved, declined or canceled; the result goes to the
//    client, is kept under the key (KeepResult), and fProcessando is released.
class TDmSitef {
 public:
  TDmSitef();
  virtual ~TDmSitef();
  TDmSitef(const TDmSitef&) = delete;
  TDmSitef& operator=(const TDmSitef&) = delete;

  // The listener (or a test) names the channel that every read and write uses.
  void SetClientChannel(TClientChannel* channel) { FClientChannel = channel; }

  // Writes one service message to the current client.
  void SendClientMessage(const std::string& pMsg);

  // Dispatches one client message to the operation of its route (`parsed`: the text parsed
  // already, by RouteQuickly).
  void RouteTargeting(const std::string& pContent, norvane::JsonParseResult* parsed = nullptr);
  // Routes a message on the caller's thread (the listener's connection thread, while no
  // operation runs) when its answer is at hand: a session start that needs no
  // initialisation of the library, a session's end, a status, the version, or a message
  // refused. False, nothing done, for anything else, and when the settler holds the library:
  // the message then goes to RouteTargeting on the operation thread.
  bool RouteQuickly(const std::string& pContent);

  // The parsed message: while a message is routed, the router's own parse of exactly that
  // text (a message is parsed once however many steps read it); otherwise `pContent` parsed
  // into `storage`. Null when the text is not a JSON value the service takes.
  const norvane::Json* ParsedMessage(const std::string& pContent, norvane::JsonParseResult& storage) const;
  // The same, for a handler that only reads members: an empty value when the text is not
  // one the service takes, so every member read finds nothing.
  const norvane::Json& MessageValue(const std::string& pContent, norvane::JsonParseResult& storage) const;

  // Called by the listener on its operation thread when the current client went away or
  // was replaced.
  void ClientDisconnected();

  // Sessions ("/session/start", "/session/finish" and the router's session check).
  // Without `may_initialise`, a start whose token asks for a library configuration that
  // needs initialising stops before it changes anything and returns false.
  bool CreateSession(const std::string& pConfig, bool may_initialise = true);
  // True with the session when the message names a live one; otherwise the error reply
  // has been sent.
  bool ValidateSession(const std::string& pContent, std::shared_ptr<TSession>& pSession);
  void FinishSession(const std::string& pContent, TSession* pSession);

  // The operations of the other routes (pSession is null where the route needs none).
  void InitializeSiTef(const std::string& pContent, TSession* pSession);
  void CheckPinpad(const std::string& pContent, TSession* pSession);
  void CheckFileVersion(const std::string& pContent, TSession* pSession);
  void StartTransaction(const std::string& pContent, TSession* pSession);
  void CancelTransactionInProgress(const std::string& pContent);
  // "/transaction/status": by `idempotency_key`, how that payment stands: "running",
  // "pending" (approved, its settlement not finished), "finished" with its kept result, or
  // "unknown". Otherwise, how the last operation of a sale (the request's sale_id, else the
  // session's) ended, with `results`: every kept result of the sale, newest first.
  void TransactionStatus(const std::string& pContent, TSession* pSession);
  // What the service knows of the payment of a key.
  struct TPaymentLookup {
    enum class Kind { Unknown, Running, Pending, Finished } kind = Kind::Unknown;
    std::int32_t sale_id = 0;
    std::string fingerprint;
    norvane::Json result;  // the kept result (finished), or the report body so far (pending)
    std::string message;   // pending: what is awaited and what the operator can do
  };
  TPaymentLookup LookUpPayment(const std::string& key);
  static constexpr const char* kPagamentoPendente =
      "Pagamento aprovado no cartão e ainda não liquidado com o servidor de vendas; o serviço termina a "
      "liquidação sozinho. Não cobre de novo: confira a venda no sistema de vendas.";
  // The final results of the last operations (file results.json in the backup folder).
  TResultStore& Results();
  // Stores the last result message the operation that ends sent, with its sale, key and
  // request; then the backups it settled go.
  void KeepResult(const std::string& idempotency_key, const std::string& fingerprint);
  void Print(const std::string& pContent, TSession* pSession);
  // Writes a "/print" document to a new file in the service folder and queues it.
  void PrintData(const std::string& pFileType, std::string_view pData);
  // The queue "/print" hands its files to: the service's while it runs (null otherwise).
  // Once it returns, no thread still uses the queue it replaced.
  void SetPrintQueue(TPrintQueue* queue) {
    std::lock_guard<std::mutex> lock(FPrintQueueLock);
    FPrintQueue = queue;
  }

  // ---- the dialogue with the client during a TEF operation ----
  void RiZedIzAdeExibeMsg(TRiZedIzAdeOperacaoMensagem Operacao, const std::string& Mensagem,
                          TModalResult& AModalResult);
  void RiZedIzAdeExibeMenu(const std::string& Titulo, const std::vector<std::string>& Opcoes,
                           int& ItemSelecionado, bool& VoltarMenu);
  // Resposta is single-byte.
  void RiZedIzAdeObtemCampo(const std::string& Titulo, int TamanhoMinimo, int TamanhoMaximo, int TipoCampo,
                            TRiZedIzAdeCliSiTefOperacaoCampo Operacao, std::string& Resposta, bool& Digitado,
                            bool& VoltarMenu);
  void RiZedIzAdeObtemCheque(const std::string& Titulo, int TipoCampo, TRiZedIzAdeCliSiTefOperacaoCampo Operacao,
                             std::string& Resposta, bool& Digitado, bool& VoltarMenu);
  void RiZedIzAdeObterSenha(const std::string& Titulo, bool& VoltarMenu);
  void RiZedIzAdeExibeQRCode(const std::string& QRCode);
  void RiZedIzAdeAguardaResp(const std::string& Arquivo, int SegundosTimeOut, bool& Interromper);

  void ControlDisplayMessage(const std::string& pMessage, TRiZedIzAdeOperacaoMensagem pOperation,
                             TModalResult& pModalResult);
  // The client's answer of one of these types (any dialogue answer when none is named) as
  // JSON text, or empty text when none will come: the time ran out, the client went away or
  // the service stops (after which every later read gives up at once), or a cancellation
  // was accepted. Every other message meanwhile gets its reply and the question waits on.
  std::string GetClientResponse(std::initializer_list<const char*> kinds = {});
  // What a client message that arrives while an operation runs is: an answer to the
  // dialogue, a cancel gesture (applied), or anything else, served or refused at once
  // ("/print", "/version", "/transaction/status" served; routes that need the library and
  // new operations refused with kOperacaoEmAndamento; garbage answered with an error).
  enum class DuringOperation { Answer, Cancel, Handled };
  DuringOperation HandleMessageDuringOperation(const std::string& text);
  // Asked by the TEF component after every command: true when nobody is left to answer
  // (the client went away, the service stops, an answer never came).
  bool DialogueMustEnd();
  // Valid JSON the router will not take (not an object, nested too deep, beyond the size
  // bound), and any text that is no JSON while a question waits: answered instead of
  // silently dropped, so the client learns its message went nowhere.
  static constexpr const char* kMensagemInvalida = "Mensagem inválida.";
  static constexpr const char* kOperacaoEmAndamento =
      "Uma operação TEF está em andamento; aguarde o seu resultado.";
  void GetMenuResponse(const std::vector<std::string>& Opcoes, int& ItemSelecionado, bool& VoltarMenu);
  void GetConfirmationResponse(TModalResult& pModalResult);
  void GetCollectResponse(std::string& Resposta, bool& VoltarMenu);
  void SetCanCancel(bool pValue);
  // The library's wait (for the card, for the payment of a QR code) is the one moment a
  // cancel can still stop a payment: any other command of the library means the wait is over
  // (the card read, the code paid), and a cancel from then on could only come after the
  // approval. The client is told at once.
  void EndCancellableWait();
  // Takes one message that arrived during a wait: a cancellation request is applied, any
  // other message is kept for the next answer read.
  void CheckClientCancellation();
  void SendSampleMsg(const std::string& pMsg);

  // ---- the other events of the TEF component ----
  void RiZedIzAdeDepoisConfirmarTransacoes(TRiZedIzAdeRespostasPendentes& RespostasPendentes);
  void RiZedIzAdeComandaECFImprimeVia(TRiZedIzAdeTipoRelatorio TipoRelatorio, int Via,
                                      const std::vector<std::string>& ImagemComprovante, int& RetornoECF);
  void RiZedIzAdeInfoECF(TRiZedIzAdeInfoECF Operacao, std::string& RetornoECF);
  void RiZedIzAdeMudaEstadoReq(TRiZedIzAdeReqEstado EstadoReq);
  void RiZedIzAdeMudaEstadoResp(TRiZedIzAdeRespEstado EstadoResp);
  // One element of the result message's transaction_data for a response.
  norvane::Json BuildTransactionData(const TRiZedIzAdeResp& R) const;

  // ---- the sales back-end ----
  // Reports an approved result to the back-end; true when it accepted the report. Adds
  // payment_id and company_id to the first transaction_data element.
  bool SendTransactionCallback(norvane::Json& ResultObject);
  // Puts Name into the first element of ResultObject's transaction_data (replacing a member
  // of that name); false when there is no such element.
  static bool SetTransactionDataValue(norvane::Json& ResultObject, const std::string& Name,
                                      const norvane::Json& Value);
  // One pass over the payments left in backups (a crash, a settlement that failed): a
  // backup holding the back-end's decision is settled by that decision, one holding its
  // report by the answer to that report sent again (no answer leaves it pending), one never
  // reported is undone, and so is the record of one stopped before its approval was
  // written. Each outcome is kept under the payment's key and said in one log line. The
  // reports go out without holding the library, so no client waits on them; the library
  // is settled between two operations, once a session start has configured it.
  // True when some payment is left pending.
  bool SettleLeftPayments(std::stop_token stop = {});
  // The settler: a thread of the data module that runs SettleLeftPayments at once, when
  // woken (a session start configured the library, a payment left its backup), and again
  // on a back-off while a payment stays pending. Stopped and joined by StopSettler (and
  // the destructor).
  void StartSettler();
  void StopSettler();
  void WakeSettler();
  // Tests hand the data module another HTTP client.
  void SetExecuteRequest(TExecuteRequest request) { FExecuteRequest = std::move(request); }
  // How long the dialogue waits for each answer of the client (two minutes; tests shorten it).
  void SetClientAnswerTimeout(std::chrono::milliseconds timeout) { FClientAnswerTimeout = timeout; }

  // The TEF component (the service names its log file; the settler and the routes use it).
  TRiZedIzAde& Tef() { return RiZedIzAde; }
  // An operation holds the library (a payment, a cancellation, a reprint, a pin-pad check).
  bool OperationRunning() const { return fProcessando; }

  // Why the running operation is to stop before the library goes on. The cancel question is
  // put for the cashier's cancel, and its "Não" takes back the stop that stands then; a stop
  // no question was put for stands until the library has been told.
  enum class TStopReason : std::uint8_t {
    None,           // the operation goes on
    CashierCancel,  // a menu or field left without an answer, or the cancel gesture of a wait
    NoAnswer,       // no answer came in time
    ClientGone,     // nobody is left to answer: the client went away, or the service stops
    ClientFlood,    // the client sent more than one operation holds
    LibraryEnded,   // the library showed an error that ends the operation, or lost its server
  };
  // How an operation ended: approved by the library, declined by the authoriser (or ended
  // by the library with no stop and no decline shown), or stopped (TStopReason).
  enum class TOperationEnd { Approved, Declined, Canceled };
  // Why the library is to end its function at its next turn (None: it goes on).
  TStopReason StopOwed() const { return FStopOwed; }

  // A client that sends more than these bounds during one operation is flooding it: the
  // message past them is dropped and the operation cancelled.
  static constexpr std::size_t kMaxHeldMessages = 1024;
  static constexpr std::size_t kMaxHeldBytes = 64u * 1024 * 1024;

 private:
  // Tests reach the running operation's fields through this seam (defined by the tests).
  friend struct TDmSitefProbe;

  // The stop the library is owed and why (see TStopReason). Set by StopOperation; handed to
  // the library at its next wait (HandStopToLibrary), taken back by the cashier's "Não",
  // and cleared when the library starts a new request.
  void StopOperation(TStopReason why) { FStopOwed = why; }
  // How the running operation ended, once the library's function returned (and whether the
  // TEF component ended its dialogue itself).
  TOperationEnd HowOperationEnded(bool dialogue_interrupted) const;
  bool HandStopToLibrary() { return FStopOwed.exchange(TStopReason::None) != TStopReason::None; }
  bool StopStands() const { return FStopOwed.load() != TStopReason::None; }
  std::atomic<TStopReason> FStopOwed{TStopReason::None};
  // Nobody will answer any more, and why (NoAnswer or ClientGone; None while the client
  // answers): every later read gives up at once, and the cancel is not put to the client
  // as a question.
  TStopReason FNobodyAnswers = TStopReason::None;
  // Says once in the log that the running operation's client went away (or the service
  // stops), ends every later read at once and owes the library the stop.
  void ClientGoneEndsOperation();

  TRiZedIzAde RiZedIzAde;
  // The last notice shown: the card wait after "Retire o cartao da leitora" opens no cancel.
  std::string fUltimaMsg;
  // Client messages read during waits that were neither cancellations nor dropped, oldest
  // first; the next answer reads take them in order, so an early answer is never lost.
  std::deque<std::string> fLastContentReceived;
  // The running operation's request.
  std::string fPayerName;
  std::string fNsuCancelamento;
  std::int64_t fValorTransacao = 0;  // currency: count of 1/10000 units
  std::int32_t fOperacao = 0;
  std::int32_t fQtdParcelas = 0;
  // The client may cancel now (the library waits for the card or a QR code's payment).
  std::atomic<bool> fPodeCancelar{false};
  // The one guard against a second operation.
  std::atomic<bool> fProcessando{false};
  // The library approved the running operation, and nothing stopped it before the approval.
  std::atomic<bool> fConcluido{false};
  // The session's sale, company and callback address (the last session start's).
  std::int32_t fVenda_Id = 0;
  std::int32_t fEmpresa_Id = 0;
  std::string fCallbackURL;
  TSessionList FSessionList;
  std::atomic<bool> FTLSConnection{false};
  // The TEF claims of the last session start that got past its token check.
  TSessionTefClaims FSessionTefClaims;

  // Reads the TEF configuration claims in their order (a missing one raises the
  // missing-member error) and keeps them; the TEF component is configured from them and
  // from the service's INI as the session start read it.
  void ConfigureTefFromClaims(const norvane::Json& claims, const std::string& terminal_number,
                              const norvane::TIniSnapshot& config);
  // Gives every event of the TEF component its handler.
  void WireTefEvents();
  // Sends a dialogue message of type "message", "confirmation" or "question".
  void SendDialogueMessage(const char* type, const std::string& message, const std::vector<std::string>& options);
  // Asks "Deseja realmente cancelar esta operação?" and takes the cashier's cancel back when the answer is "Não".
  void ConfirmCancellation();
  // The dialogue state of one operation: set clean when it starts and when it ends.
  void BeginDialogue();
  // An operation that ended, however it ended, leaves nothing for the client to cancel.
  void EndDialogue() {
    if (fPodeCancelar) SetCanCancel(false);
    BeginDialogue();
  }
  // Applies one client message read during a wait (cancellation or kept answer).
  void TakeMessageDuringWait(const std::string& text);
  // A "/transaction" with a key the service knows: answered (its kept result, its status,
  // or the refusal of another request under that key) and true; false for a new key.
  bool AnswerKnownKey(const std::string& key, const std::string& fingerprint);
  // The "transaction_status" reply about one payment.
  static norvane::Json StatusReply(const std::string& key, const TPaymentLookup& found);
  // What a pending payment awaits, and what the operator can do meanwhile.
  static std::string PendingMessage(const TPaymentRecord& record);
  // Configures the TEF component from a session start's claims and initialises it again
  // when the server, store, terminal or registration changed.
  void ApplyTefConfiguration(const TSessionTefClaims& claims, const norvane::TIniSnapshot& config);
  // True when a session start with these claims would leave the library initialised as it
  // is (ApplyTefConfiguration would not initialise it); false too when a claim it reads is
  // missing, so that the usual path answers that.
  bool TefConfigurationStands(const norvane::Json& claims, const std::string& terminal_number);
  // The TLS part of a session start's TEF configuration: CONFITLS.INI written (or deleted
  // without TLS), the control folder moved away when the registration token changed. True
  // when the token changed.
  bool ApplyTlsConfiguration(const TSessionTefClaims& claims);
  // The component's CliSiTef manager.
  TRiZedIzAdeCliSiTef& CliSiTefManager() const;
  // Confirms (or undoes) the payment in CliSiTef; false when that failed.
  bool ConfirmTefTransaction(bool confirm, const std::string& document);
  // The session's callback base address, with its final "/" (kept for later calls).
  std::string CallbackBase();
  // Posts a report body to a callback base address with a fresh token; raises on transport failure.
  std::unique_ptr<TRESTResponse> PostSalesReport(const std::string& base, const std::string& body);
  // Writes host keys (899-sequence) into backup files, flushed to disk; a file that cannot
  // be written is logged once with what to do, and false is returned.
  bool AnnotateBackups(const std::vector<std::string>& files, const std::vector<std::pair<int, std::string>>& values);
  // Undoes in the library, by its date and document, what it may have approved of an
  // operation stopped before its approval was written, keeps "canceled" under its key and
  // removes its record; false (logged) when the library did not undo it.
  bool SettleInterruptedStart(const TPaymentRecord& record);

  std::atomic<TClientChannel*> FClientChannel{nullptr};
  // RouteTargeting, and RouteQuickly with `may_initialise` false: a session start that would
  // initialise the library then stops before it changes anything, and false says so.
  bool Route(const std::string& pContent, norvane::JsonParseResult* parsed_already, bool may_initialise);
  // The message being routed (operation thread only).
  const std::string* FRoutedText = nullptr;
  const norvane::Json* FRoutedMessage = nullptr;
  // A "/print" read without its document: the "data" member's text in FRoutedText.
  std::optional<std::string_view> FRoutedPrintData;
  std::mutex FPrintQueueLock;  // held while a request hands its file to the queue
  TPrintQueue* FPrintQueue = nullptr;
  TExecuteRequest FExecuteRequest;
  std::chrono::milliseconds FClientAnswerTimeout{120000};
  // The library was initialised by a session start: the payments a crash left are settled
  // after its reply.
  bool FSettlementDue = false;
  // The client of the running operation went away; said once in the log.
  bool FClientGoneLogged = false;
  // The client flooded the running operation; said once in the log.
  bool FFloodLogged = false;
  // The last menu or field read ended without a choice and without a cancel that stands
  // (the client took its cancel back): the question is put again.
  bool FAskAgain = false;
  // The running operation showed the authoriser's decline: it ends "unauthorized" whatever
  // becomes of that notice.
  bool FDeclineShown = false;
  // The idempotency key of the running "/transaction" (the request's, or one made for it)
  // and the request it is bound to.
  std::string FRunningIdempotencyKey;
  std::string FRunningFingerprint;
  // The backups the running operation settled in the library: removed once its result is
  // kept. A backup it could not settle stays, for the settler.
  std::vector<std::string> FSettledBackups;
  // A settlement of the running operation failed: its result is "pending".
  bool FSettlementFailed = false;
  // Held by whatever uses the library: the router for each message, the settler while it
  // reads the backups and while it settles one. So the settler never runs beside an
  // operation, and never looks at a running payment's backup. The router is re-entered by
  // the messages served inside an operation: a thread that holds the turn already takes
  // nothing more (a plain mutex and its owner, which ThreadSanitizer follows exactly).
  class TLibraryTurn {
   public:
    explicit TLibraryTurn(TDmSitef& dm) : FTaken(dm.FLibraryTurnOwner.load() != std::this_thread::get_id()), FDm(dm) {
      if (!FTaken) return;
      FDm.FLibraryTurnLock.lock();
      FDm.FLibraryTurnOwner = std::this_thread::get_id();
    }
    // Takes the turn only if it is free (Held tells).
    TLibraryTurn(TDmSitef& dm, std::try_to_lock_t)
        : FTaken(dm.FLibraryTurnOwner.load() != std::this_thread::get_id() && dm.FLibraryTurnLock.try_lock()),
          FHeld(FTaken || dm.FLibraryTurnOwner.load() == std::this_thread::get_id()), FDm(dm) {
      if (FTaken) FDm.FLibraryTurnOwner = std::this_thread::get_id();
    }
    bool Held() const { return FHeld; }
    ~TLibraryTurn() {
      if (!FTaken) return;
      FDm.FLibraryTurnOwner = std::thread::id();
      FDm.FLibraryTurnLock.unlock();
    }
    TLibraryTurn(const TLibraryTurn&) = delete;
    TLibraryTurn& operator=(const TLibraryTurn&) = delete;

   private:
    const bool FTaken;
    const bool FHeld = true;
    TDmSitef& FDm;
  };
  std::mutex FLibraryTurnLock;
  std::atomic<std::thread::id> FLibraryTurnOwner{};
  // The settler thread and its wake-up.
  std::mutex FSettlerLock;
  std::condition_variable_any FSettlerWake;
  bool FSettlerWoken = false;
  // The settler's last pass left a payment pending (it may wait for the library to be
  // configured by a session start).
  std::atomic<bool> FSettlerLeftPending{false};
  std::jthread FSettler;
  std::once_flag FResultsFileOnce;
  // The sale of the running operation, for "/transaction/status" (read while fProcessando).
  std::atomic<std::int32_t> FRunningSaleId{0};
  // What the running operation is, for the counts of how operations end.
  norvane::metrics::Operation FRunningOperation = norvane::metrics::Operation::Sale;
  // How the running operation ended, counted once its result is kept and its settled
  // backups are gone, so the numbers written then never show it as unsettled.
  std::optional<norvane::metrics::Outcome> FOperationOutcome;
  // While an operation runs, every "result" message sent is kept here: the last one is
  // its outcome, stored when it ends (operation thread only).
  std::atomic<bool> FKeepingResult{false};  // read by any thread that sends (a refused request)
  std::string FLastResult;
  TResultStore FResults;
};

// The process-wide data module (created by the service object).
extern TDmSitef* DmSitef;

// The service's configuration file (section `sitef` and its keys).
norvane::TIniFile ServiceConfig();

// The CliSiTef library file: `[sitef] clisitef_library` (absolute, or relative to the
// service folder), kDefaultCliSiTefLibrary when the key is absent or empty.
inline constexpr char kDefaultCliSiTefLibrary[] = "dll/CliSiTef32I.dll";
std::string CliSiTefLibraryFile();
// Whether the key names the library (false: its default is in force).
bool CliSiTefLibraryConfigured();
// The folder of the CliSiTef library and its own files (CONFITLS.INI), with a trailing "/".
std::string CliSiTefLibraryFolder();
// Why the library may not be loaded, or empty when it may: a package installation without
// the simulator package never takes payments with the stand-in found at the key's default
// path (one left behind or copied there by mistake). Naming it in the key is a choice.
std::string CliSiTefLibraryRefusal();

// The CliSiTef library's control folder (NORVANE_CLISITEF_ROOT moves its root in tests).
std::string CliSiTefControlFolder();

// The end-to-end tests hold a payment's settlement at a named point (NORVANE_TEST_HOLD_AT),
// after a log line, to kill the service there; without that variable it does nothing.
void TestHoldPoint(std::string_view name);

// A cancellation's transaction_date: "yyyy-mm-dd" (ten characters) with an optional blank
// and "hh:nn:ss" (eight or more); the separators are not checked. False when it is no
// valid date and time.
bool ParseTransactionDate(const std::string& text, TDateTime& when);

// Fits a text to n characters: a longer one keeps its first n characters, a shorter one is
// padded on the left with "0".
std::string FitText(const std::string& text, std::size_t n);

// "AG" + branch code fitted to 4 characters + pdv number fitted to 2: a longer text keeps
// its first characters, a shorter one is padded on the left with "0".
std::string BuildTerminalNumber(const std::string& branch_code, int pdv_number);

// The key that verifies session tokens: `[sitef] jwt_secret` of the service's INI when set,
// else the key shared with the sales back-end. Raises std::runtime_error when the INI is
// there but cannot be read: its key is unknown then, and the built-in one is not it.
std::string ConfiguredTokenSecret();

// The log line for a service INI that cannot be read, with what is wrong with it
// (TIniSnapshot::Problem).
std::string UnreadableConfigurationText(const std::string& problem);

// A fresh GUID in its 36-character upper-case form without braces; empty when no random
// bytes could be had.
std::string NewSessionUUID();

// UTC ISO 8601 with milliseconds: 2026-12-09T13:45:00.123Z.
std::string format_iso_utc(norvane::TimePoint when);
