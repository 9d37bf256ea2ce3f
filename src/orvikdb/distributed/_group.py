"""The replicas of one shard as the caller sees them: which are in step with
the shard's version, which one to ask next, and bringing the others back.

A replica turns suspect when a call to it fails or it answers with another
version than the shard's (it restarted, or missed a change). Suspects get no
calls until heal() finds them in step again or copies an in-step sibling
into them. A shard with no in-step replica left starts over from the files
of its last save (restore()); reporting what that loses is the caller's part.
"""

import itertools
from collections.abc import Callable, Iterator, Mapping
from typing import Any

import ray
from ray.exceptions import ActorDiedError, RayError, RayTaskError

from orvikdb.distributed._replica import UNASSIGNED

#: How long a replica may take to say which version it holds before it counts as unreachable.
PROBE_TIMEOUT_SECONDS = 60.0

#: A change on its way: the version it makes, and the call to each in-step replica.
Flight = tuple[int, list[tuple[int, Any]]]


class ShardUnavailableError(RuntimeError):
    """No replica of a shard answers, and it could not be brought back."""


class ReplicaFailed(Exception):
    """A replica's actor died, restarted or could not be reached during a call."""


def fetch(ref: Any) -> Any:
    """The value of a call; ReplicaFailed when the replica failed, and an error that the
    call itself raised inside the actor re-raised as that error."""
    try:
        return ray.get(ref)
    except RayTaskError as error:
        cause = error.cause
        if isinstance(cause, RayError) or not isinstance(cause, Exception):
            raise ReplicaFailed(str(error)) from error
        raise cause from None
    except RayError as error:
        raise ReplicaFailed(str(error)) from error


class ShardGroup:
    """The replica actors of one shard, the shard's version, and its last saved file.

    versions: the source of new versions, shared by every shard of an index, so
    that no number names two contents.
    """

    def __init__(self, shard: int, handles: list[Any], version: int, saved: str | None,
                 respawn: Callable[[], Any], versions: Iterator[int]) -> None:
        self.shard = shard
        self.handles = handles
        self.version = version
        #: The index file of the shard's last save (None: never saved).
        self.saved = saved
        self._respawn = respawn
        self._versions = versions
        self._turn = itertools.count()
        self._suspects: set[int] = set()
        # A change sent but not settled, and what to do once it is known to have been
        # taken. Left set only when the caller stopped waiting for it.
        self._pending: tuple[Flight, Callable[[], None]] | None = None

    def order(self) -> list[int]:
        """The in-step replicas, round robin: every call starts one replica further on."""
        count = len(self.handles)
        start = next(self._turn) % count
        return [r for r in ((start + i) % count for i in range(count))
                if r not in self._suspects]

    def in_step(self) -> list[int]:
        """The replicas not suspected of being out of step, in order."""
        return [r for r in range(len(self.handles)) if r not in self._suspects]

    def accepted(self) -> frozenset[int]:
        """The versions a replica may answer with and be in step: the shard's, and that of
        a change on its way (which some replicas may have taken already)."""
        pending = () if self._pending is None else (self._pending[0][0],)
        return frozenset((self.version, *pending))

    def suspect(self, replica: int) -> None:
        """Takes a replica out of service until heal() brings it back."""
        self._suspects.add(replica)

    @property
    def needs_healing(self) -> bool:
        """Whether replicas are out of service, or a change's outcome is still unknown."""
        return bool(self._suspects) or self._pending is not None

    # ------------------------------------------------------------- changes

    def submit(self, method: str, *args: Any, took: Callable[[], None]) -> Flight:
        """Sends a change on top of the shard's version to every in-step replica; took() is
        called once a replica is known to have taken it."""
        version = next(self._versions)
        flight: Flight = (version, [])
        self._pending = (flight, took)
        for r in self.in_step():
            flight[1].append((r, getattr(self.handles[r], method).remote(self.version, version,
                                                                         *args)))
        return flight

    def settle(self, flight: Flight) -> bool:
        """Waits for a change sent by submit(). When a replica took it, moves the shard on to
        the change's version and returns True; the replicas that did not take it turn
        suspect.

        When none took it, an error that the change raised on a replica (which then
        kept the version it had, still in step) is raised here.
        """
        version, calls = flight
        took, errors, refused = False, [], []
        for replica, ref in calls:
            try:
                held = fetch(ref)
            except ReplicaFailed:
                self.suspect(replica)
                continue
            except Exception as error:
                errors.append(error)
                refused.append(replica)
                continue
            if held == version:
                took = True
            else:
                self.suspect(replica)
        pending = self._pending
        if took:
            self._pending = None
            self.version = version
            self._suspects.update(refused)
            if pending is not None:
                pending[1]()
        elif errors:
            self._pending = None
            raise errors[0]
        # Where every call failed on the way, a replica may still have taken the change
        # before its answer was lost: it stays pending for heal() to find out.
        return took

    # ------------------------------------------------------------- healing

    def heal(self) -> bool:
        """Brings suspects back in step: the ones that are (a call failed on the way back, not
        in the replica), and the others by copying an in-step sibling into them. Returns
        whether the shard has an in-step replica."""
        self._settle_pending()
        for replica in sorted(self._suspects):
            if self._probe(replica) == self.version:
                self._suspects.discard(replica)
        for replica in sorted(self._suspects):
            for donor in self.in_step():
                if self._copy(donor, replica):
                    self._suspects.discard(replica)
                    break
        return bool(self.in_step())

    def _settle_pending(self) -> None:
        """Settles a change whose outcome the caller never saw (it stopped waiting, say on
        Ctrl-C, while the replicas went on): the shard keeps it if any replica took it,
        and the replicas that did not are then out of step."""
        if self._pending is None:
            return
        try:
            if self.settle(self._pending[0]):
                return
        except Exception:
            return  # the change failed on every replica: none of them took it
        if self._pending is None:
            return
        # Every call failed on the way: ask the replicas what they hold now.
        ((version, _), took), self._pending = self._pending, None
        held = {r: self._probe(r) for r in range(len(self.handles))}
        if version in held.values():
            self.version = version
            took()
        self._suspects = {r for r, v in held.items() if v != self.version}

    def _copy(self, donor: int, replica: int) -> bool:
        snapshot = self.handles[donor].snapshot.remote()
        try:
            held = fetch(self.handles[replica].adopt.remote(self.version, snapshot))
        except ReplicaFailed:
            held = UNASSIGNED
        if held == self.version:
            return True
        if self._probe(donor) != self.version:
            self.suspect(donor)
        return False

    def _probe(self, replica: int) -> int:
        """The version a replica holds. One whose actor is gone for good (out of restarts) is
        replaced by a new actor, which holds nothing yet."""
        try:
            version: int = ray.get(self.handles[replica].version.remote(),
                                   timeout=PROBE_TIMEOUT_SECONDS)
            return version
        except ActorDiedError:
            ray.kill(self.handles[replica], no_restart=True)
            self.handles[replica] = self._respawn()
        except RayError:
            pass  # restarting, or unreachable for now: it stays suspect
        return UNASSIGNED

    def restore(self) -> None:
        """Starts every replica over from the shard's last saved file (empty where it was
        never saved), as a new version of the shard; the replicas that fail turn suspect.

        ShardUnavailableError when none of them could, with the reason.
        """
        version = next(self._versions)
        flight = [(r, self.handles[r].start.remote(self.saved, version))
                  for r in range(len(self.handles))]
        started, reasons = [], []
        for replica, ref in flight:
            try:
                if fetch(ref) == version:
                    started.append(replica)
                continue
            except ReplicaFailed as failure:
                reasons.append(str(failure).splitlines()[0])
                self._probe(replica)  # replaces an actor that is gone for good
            except Exception as error:
                reasons.append(f"{type(error).__name__}: {error}")
        if not started:
            origin = self.saved or "empty"
            raise ShardUnavailableError(f"shard {self.shard} has no replica in step, and none "
                                        f"could start over from {origin}: "
                                        + "; ".join(reasons))
        self.version = version
        self._suspects = set(range(len(self.handles))) - set(started)


def ask_each(groups: list[ShardGroup], calls: Mapping[int, tuple[str, tuple[Any, ...]]]
             ) -> tuple[dict[int, Any], list[int]]:
    """Asks one in-step replica of each shard in calls ({shard: (method, args)}) at once.

    A replica that fails, or answers with a version that its shard did not have
    (or was not taking on) when asked, turns suspect and the shard's next replica is asked. Returns
    the answers by shard and the shards none of whose replicas answered.
    """
    accepted = {s: groups[s].accepted() for s in calls}
    queues = {s: groups[s].order() for s in calls}
    answers: dict[int, Any] = {}
    while queues:
        flight = []
        for shard, queue in list(queues.items()):
            if not queue:
                del queues[shard]
                continue
            replica = queue.pop(0)
            method, args = calls[shard]
            flight.append((shard, replica,
                           getattr(groups[shard].handles[replica], method).remote(*args)))
        for shard, replica, ref in flight:
            try:
                version, answer = fetch(ref)
            except ReplicaFailed:
                version, answer = UNASSIGNED, None
            if version in accepted[shard]:
                answers[shard] = answer
                del queues[shard]
            else:
                groups[shard].suspect(replica)
    return answers, [s for s in calls if s not in answers]
