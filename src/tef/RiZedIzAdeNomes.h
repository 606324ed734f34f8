#pragma once
#include <string>

#include "tef/RiZedIzAdeTypes.h"

// The member names of the enumerations, as the TEF log and the messages quote them
// ("opmOK", "opePulaLinhas", "gpCliSiTef"). An ordinal outside the enumeration gives "".
std::string enum_name(TRiZedIzAdeTipo Value);
std::string enum_name(TRiZedIzAdeOperacaoMensagem Value);
std::string enum_name(TRiZedIzAdeOperacaoECF Value);
std::string enum_name(TRiZedIzAdeTipoRelatorio Value);
std::string enum_name(TRiZedIzAdeInfoECF Value);

