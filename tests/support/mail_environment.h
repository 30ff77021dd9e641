// What a test of the transport, the dialogues, the transfers or the mail check runs in: a
// temporary instance with the daily log and the trace on; a local SMTP server at
// 127.0.0.1 for the domain local.example; TimeOut 1; no dial-up; the protocol buffers,
// TransferBuffer and MessageIdTable; the transport; callbacks that record what they are
// told; and a clock that passes the long fixed waits at once (polls are shortened, pauses
// of 500 ms or more skipped, event waits from SkipWaitsFrom on end without waiting).
// Everything is undone at the end; one environment at a time.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "config/settings.h"
#include "process/process.h"
#include "protocol/protocol.h"
#include "data_table.h"
#include "scripted_server.h"
#include "test_instance.h"
#include "transfer/transfer.h"
#include "transport/connection_table.h"
#include "util/text.h"

using Lines = std::vector<std::string>;

class MailEnvironment {
 public:
  MailEnvironment();
  ~MailEnvironment();
  MailEnvironment(const MailEnvironment&) = delete;
  MailEnvironment& operator=(const MailEnvironment&) = delete;

  // Appends an account for bob (password secret) at a POP3 server reached by the name
  // "localhost", so that log lines tell it from the SMTP server: a single-user mailbox
  // for the alias, or with no alias a domain mailbox of local.example.
  Account& AddAccount(int port, const std::string& alias = "alice@local.example");
  // Opens POP3Connection, and SMTPConnection unless smtp is null, as a mail check leaves
  // them for a transfer; Disconnect closes every connection.
  void Connect(const ScriptedServer& pop3, const ScriptedServer* smtp);
  void Disconnect();
  // Sets what a row of a table asks for, "Name=value": a field of Settings, or of the
  // account; the run's WebShieldSeen or SMTPPipelining; or an entry of the lists,
  // "Excluded=address" or "DeliveredTo=prefix".
  void Set(const std::string& assignment, Account* account);

  // The daily log's lines without their timestamps, behind the one written on opening.
  Lines Log() const;
  std::string Trace() const { return instance.Trace(); }
  // What the callbacks were told: "message: text" and "status: text", in order.
  Lines Callbacks() const;
  // Event waits this long or longer end at once; 3000 ms (the SMTP drain's waits, longer
  // than any TimeOut of a test) unless a test changes it.
  void SkipWaitsFrom(uint32_t milliseconds);

  TempInstance instance;

 private:
  std::list<Account> accounts_;
  std::list<SpecialAction> excluded_;
  std::list<DeliveredToPrefix> prefixes_;
  size_t logStart_ = 0;
};

// Callbacks that record into MailEnvironment::Callbacks, for OpenConnection.
int RecordStatus(const char* text);
int RecordMessage(const char* text);

// How often part occurs in text, not overlapping.
int CountOf(const std::string& text, const std::string& part);
