"""A login kind written the way a user would write one: a subclass of
Authenticator that logs in without any server and hands over a provider
of numbered tokens."""
from tavro_experiment_tracking.auth.authenticator import Authenticator
from tavro_experiment_tracking.auth.user import User

from conftest import _SECRETS as SECRETS


class CountingProvider:
    """Hands out "<prefix>-1", "<prefix>-2", ... (secrets of the test) and counts the calls."""

    def __init__(self, prefix="token"):
        self.prefix = prefix
        self.calls = 0

    def token(self):
        self.calls += 1
        token = "{}-{}".format(self.prefix, self.calls)
        SECRETS.add(token)
        return token


class LocalAuthenticator(Authenticator):
    def __init__(self, username, *args, fail=False, **kwargs):
        self.username = username
        self.fail = fail
        self.logins = 0
        self.provider = None
        super().__init__(*args, **kwargs)

    def authenticate(self, **kwargs):
        self.cleanup()
        self.logins += 1
        if self.fail:
            raise RuntimeError("login refused")
        self.provider = CountingProvider(self.username)
        return super().authenticate(**{self.USER_KEY: User(self.username), self.TOKEN_PROVIDER_KEY: self.provider})
