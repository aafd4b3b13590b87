#pragma once

class DesktopSession;
class ErrorReport;
class FileSystem;
class HttpRequest;
class ManagementService;
class MountTable;
class ProgramEnd;
class Prompt;
class Shell;
class Stream;
class TransferControl;

// Everything the windows drive outside themselves, passed in so that tests can
// stand in for any of it.
struct Platform
{
    Shell &shell;
    FileSystem &fileSystem;
    HttpRequest &http;
    Stream &stream;
    ManagementService &management;
    MountTable &mounts;
    TransferControl &inet1;
    Prompt &prompt;
    ErrorReport &errorReport;
    ProgramEnd &programEnd;
    DesktopSession &desktop;
};
