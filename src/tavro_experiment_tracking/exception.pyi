import queue
from typing import Any, Union

class ExperimentTrackingException(Exception):
    message: str
    # The tracking library's error-code name, e.g. "INVALID_PARAMETER_VALUE".
    error_code: str
    def __init__(self, message: object, error_code: Union[int, str] = "INTERNAL_ERROR") -> None: ...

class ServerNotAccessibleException(ExperimentTrackingException):
    def __init__(self, message: object, error_code: Union[int, str] = "TEMPORARILY_UNAVAILABLE") -> None: ...

class RestException(ExperimentTrackingException):
    # The tracking server's error body as it was received.
    json: Any
    def __init__(self, json: Any) -> None: ...

class LoginFailed(ExperimentTrackingException): ...
class LoginAnswerMissing(LoginFailed, KeyError): ...
class LoginAbandoned(LoginFailed, queue.Empty): ...

CHANGING_LOGGED_PARAM_MESSAGE: str
CHANGING_LOGGED_PARAMS_MESSAGE: str
