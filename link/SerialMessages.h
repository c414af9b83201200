// The serial driver's messages, in one place, and the two forms they take. Callers show
// these texts to the operator exactly as they are; the wording is the station's own.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace marvolen::serial_text {

// Followed by the port number, then ". " (short form) or ". " + code + ": " + system text
// + ". " (system-error form).
inline constexpr std::string_view kReadStateFailed = "ERROR LEYENDO A_DCB de COM";
inline constexpr std::string_view kWriteStateFailed = "ERROR ESCRIBIENDO A_DCB DE COM";
inline constexpr std::string_view kTimeoutsFailed = "ERROR ESCRIBIENDO A_TimeOut DE COM";
inline constexpr std::string_view kQueuesFailed =
    "ERROR DEFINIENDO TAMAÑO BUFFER DE LECTURA Y ESCRITURA DE COM";
inline constexpr std::string_view kEventMaskFailed = "ERROR DEFINIENDO EVENTOS DE COM";
inline constexpr std::string_view kPurgeInputFailed = "ERROR BORRANDO BUFFER DE LECTURA DE COM";
inline constexpr std::string_view kPurgeAllFailed =
    "ERROR BORRANDO BUFFER DE ESCRITURA Y LECTURA DE COM";
inline constexpr std::string_view kClearErrorsFailed =
    "ERROR BORRANDO ERROR DE COMUNICACION DE COM";
inline constexpr std::string_view kModemStatusFailed = "ERROR LEYENDO ESTADO DEL MODEM EN COM";
inline constexpr std::string_view kCtsOff = "ERROR, CTS OFF EN COM";
inline constexpr std::string_view kWriteTimedOut = "ERROR, Write_time-out EN COM";
inline constexpr std::string_view kReadFailed = "ERROR LEYENDO COM";
inline constexpr std::string_view kReadTimedOut = "ERROR, Read_time-out EN COM";
inline constexpr std::string_view kClrRtsRefused =
    "ERROR, NO ESTA PERMITIDO fRtsControlHandshake Y \"CLRRTS\" EN COM";
inline constexpr std::string_view kSetRtsRefused =
    "ERROR, NO ESTA PERMITIDO fRtsControlHandshake Y \"SETRTS\" EN COM";
inline constexpr std::string_view kClrDtrRefused =
    "ERROR, NO ESTA PERMITIDO fDtrControlHandshake Y \"CLRDTR\" EN COM";
inline constexpr std::string_view kSetDtrRefused =
    "ERROR, NO ESTA PERMITIDO fDtrControlHandshake Y \"SETDTR\" EN COM";
inline constexpr std::string_view kEscapeFailed = "ERROR DE Windows.EscapeCommFunction DE COM";
// Followed by code + ": " + system text + ". " and no port number.
inline constexpr std::string_view kWriteFailed = "ERROR ESCRIBIENDO PUERTO A. ";

// Prefixes of the text layer's lines in the log view.
inline constexpr std::string_view kSendTextLine = "*ERROR WRITE: ";
inline constexpr std::string_view kReceiveTextLine = "*ERROR Recibiendo dato: ";
inline constexpr std::string_view kCarrierLine = "*ERROR Estado del Módem: ";

// "ERROR, COM<n> IS OPEN. " and the other messages built around the port number.
std::string PortIsOpen(int port);
std::string PortNotFound(int port);
std::string CannotOpenPort(int port);
// The refusal for a port number the table has no entry for (anything but 1 to 4).
std::string PortNotAvailable(int port);

// The system's text for an errno value: at most 256 characters, without trailing blanks,
// control characters and full stops (platform/Errors.h's SystemReason, the station's one
// wording of an errno).
std::string SystemErrorText(int code);
// message + port + ". "
std::string ShortForm(std::string_view message, int port);
// message + port + ". " + code + ": " + system text + ". ", where code is the errno's number
// and the system text its reason (a code that is no errno gives its category's words).
std::string SystemErrorForm(std::string_view message, int port, std::error_code code);
// "ERROR ESCRIBIENDO PUERTO A. " + code + ": " + system text + ". "
std::string WriteFailed(std::error_code code);

}  // namespace marvolen::serial_text
