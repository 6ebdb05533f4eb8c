"""Ordel Python module

Provides policy verification for AI agents with sync and async support.
"""

import asyncio
from typing import Final, final

__all__ = [
    "OrdelEngine",
    "Verdict",
    "IntentSignature",
    "version",
    "verify",
    "verify_async",
    "__version__",
]

__version__: Final[str]

@final
class OrdelEngine:
    """Ordel Policy Engine: load a policy, then verify intents against it.

    Instances come only from the loading operations; calling the class raises
    TypeError. The engine is immutable, so one instance may serve any number
    of threads.
    """

    @staticmethod
    def from_file(path: str) -> OrdelEngine:
        """Load a policy from a file; ValueError if it cannot be loaded."""

    @staticmethod
    def from_source(source: str) -> OrdelEngine:
        """Load a policy from source text; ValueError if it is invalid."""

    @staticmethod
    def from_file_async(path: str) -> asyncio.Future[OrdelEngine]:
        """Load a policy from a file on a worker thread.

        Returns at once with a future of the running loop (RuntimeError when
        no loop is running); the future fails with ValueError if the policy
        cannot be loaded.
        """

    @staticmethod
    def from_source_async(source: str) -> asyncio.Future[OrdelEngine]:
        """Compile policy source text on a worker thread.

        Returns at once with a future of the running loop; the future fails
        with ValueError if the source is invalid.
        """

    def verify(self, intent_name: str, fields: dict[str, str]) -> Verdict:
        """Verify an intent; RuntimeError if the policy lacks it."""

    def verify_async(self, intent_name: str, fields: dict[str, str]) -> asyncio.Future[Verdict]:
        """Verify an intent on a worker thread.

        The fields are converted by the call itself (ValueError for a key or
        value that is not a str); the future of the running loop fails with
        RuntimeError if the policy lacks the intent.
        """

    def intents(self) -> list[str]:
        """All intent names, in no particular order."""

    def intent_signature(self, name: str) -> IntentSignature | None:
        """The signature of an intent, or None."""

    def has_intent(self, name: str) -> bool:
        """Whether the policy declares exactly this intent name."""

@final
class Verdict:
    """Result of a verification operation; true exactly when allowed."""

    @property
    def allowed(self) -> bool: ...
    @property
    def reason(self) -> str | None: ...
    @property
    def guidance(self) -> str: ...
    @property
    def category(self) -> str: ...
    def __bool__(self) -> bool: ...

@final
class IntentSignature:
    """Signature of an intent for introspection."""

    @property
    def name(self) -> str: ...
    @property
    def takes(self) -> list[tuple[str, str]]: ...
    @property
    def gives(self) -> list[tuple[str, str]]: ...
    @property
    def effect(self) -> str: ...
    @property
    def conscience(self) -> list[str]: ...

def version() -> str:
    """The version text, "ordel-py 0.2.1 (ordel-lang 0.2.1)"."""

def verify(policy_path: str, intent_name: str, fields: dict[str, str]) -> Verdict:
    """Load the policy file and verify one intent against it."""

def verify_async(
    policy_path: str, intent_name: str, fields: dict[str, str]
) -> asyncio.Future[Verdict]:
    """Load the policy file and verify one intent, on worker threads.

    The fields are converted by the call itself; the future of the running
    loop fails with ValueError if the policy cannot be loaded, and with
    RuntimeError if it lacks the intent.
    """
