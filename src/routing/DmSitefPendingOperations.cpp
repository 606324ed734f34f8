// Operations whose routes are known to the router but not served by this build yet. Each
// answers a clear refusal, so a client never waits for a reply that cannot come. The file
// shrinks as each operation gets its own file.
#include "routing/JsonText.h"
#include "routing/ntDmSitef.h"

void TDmSitef::AnswerNotAvailable() {
  SendClientMessage(BuildErrorReply("Operação ainda não disponível."));
}

void TDmSitef::InitializeSiTef(const std::string&, TSession*) { AnswerNotAvailable(); }
void TDmSitef::CheckPinpad(const std::string&, TSession*) { AnswerNotAvailable(); }
void TDmSitef::CheckFileVersion(const std::string&, TSession*) { AnswerNotAvailable(); }
void TDmSitef::StartTransaction(const std::string&, TSession*) { AnswerNotAvailable(); }
void TDmSitef::CancelTransactionInProgress(const std::string&) { AnswerNotAvailable(); }
