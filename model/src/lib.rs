//! The work queue's lease protocol as a stateright model.
//!
//! Workers, the rows of the input collection (with their mirror fields), the lease collection,
//! the server's clock and `drop_finished_leases` are the actors. Every call of the queue is cut
//! into its database operations, one action each, so that the other actors interleave between
//! them. Faults come from budgets: copies of handles, replies lost after a write was applied,
//! worker crashes, re-seeded rows and lost mirror fields. `README.md` beside this crate maps each
//! action to the C++ function it stands for and defines the properties.

use stateright::{Model, Property};
use std::collections::hash_map::DefaultHasher;
use std::collections::BTreeMap;
use std::fmt::Write as _;
use std::hash::{Hash, Hasher};

/// A token or a step id. Each is drawn fresh (128 random bits in the code); the model takes the
/// lowest id nothing refers to, so that states differing only in the names of ids coincide.
pub type Id = u8;

/// `Action::Pick` of no row: the search found no candidate.
pub const NONE: u8 = u8::MAX;

/// How many rounds of inserts one claim call makes at most.
const ROUNDS: u8 = 3;

#[derive(Clone, Debug, Hash, PartialEq, Eq)]
pub struct Bounds {
    pub workers: usize,
    pub rows: usize,
    pub max_claims: u8,
    /// Lease length in clock ticks: a lease stored at `now` is live up to `now + lease`.
    pub lease: u8,
    pub copies: u8,
    pub lost_replies: u8,
    pub crashes: u8,
    pub reseeds: u8,
    pub erasures: u8,
    pub drops: u8,
    /// Calls of `extend_lease` and of `release` the workers make, besides retries.
    pub renewals: u8,
    pub releases: u8,
    /// Ticks of the clock at any moment; past them, time passes only while every running worker
    /// waits, and then far enough to end every lease (time always passes, in the end).
    pub ticks: u8,
    /// Stop after this many states (0: explore them all).
    pub states: usize,
}

impl Default for Bounds {
    /// The workers' and rows' bounds of every scenario, with no faults and no optional calls.
    fn default() -> Self {
        Bounds {
            workers: 2,
            rows: 2,
            max_claims: 2,
            lease: 0,
            copies: 0,
            lost_replies: 0,
            crashes: 0,
            reseeds: 0,
            erasures: 0,
            drops: 0,
            renewals: 0,
            releases: 0,
            ticks: 1,
            states: 0,
        }
    }
}

/// Checked one by one: each budget multiplies the states by three to ten, so all of them at
/// once would not end; each scenario pairs the faults whose races matter together.
pub fn scenarios(long: bool) -> Vec<(&'static str, Bounds)> {
    let b = Bounds::default;
    let mut list = vec![
        ("copies, drops", Bounds { copies: 1, drops: 1, ..b() }),
        ("lost replies, renewals", Bounds { lost_replies: 1, renewals: 1, ..b() }),
        ("lost replies, drops", Bounds { lost_replies: 1, drops: 1, ..b() }),
        ("copies, lost replies", Bounds { copies: 1, lost_replies: 1, ..b() }),
        ("crashes, releases", Bounds { crashes: 1, releases: 1, ..b() }),
        ("re-seeds, lost replies", Bounds { reseeds: 1, lost_replies: 1, ..b() }),
        ("erasures, releases", Bounds { erasures: 1, releases: 1, ..b() }),
    ];
    if long {
        list.extend([
            ("erasures, drops", Bounds { erasures: 1, drops: 1, ..b() }),
            ("re-seeds, drops", Bounds { reseeds: 1, drops: 1, ..b() }),
            ("two ticks", Bounds { releases: 1, renewals: 1, ticks: 2, ..b() }),
            ("three claims", Bounds { max_claims: 3, releases: 2, ..b() }),
        ]);
    }
    list
}

/// Behaviours that the protocol replaced, or that it had as first written, put back.
#[derive(Clone, Copy, Debug, Default, PartialEq, Eq)]
pub struct Switches {
    /// The end record matches a finisher by generation and token only: no step id.
    pub old_drop: bool,
    /// A duplicate on the finish generation is "lost" without reading, and the handle is stamped
    /// spent before the status write.
    pub old_finish: bool,
    /// The search leaves out every row out of claims, and none is closed: as first written.
    pub hidden_at_max: bool,
}

pub struct Queue {
    pub bounds: Bounds,
    pub switches: Switches,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub enum Lease {
    Held,
    Released,
    Finished,
}

/// A generation document of the lease collection, `_id: {row, gen}` (gen >= 1). A finish's
/// status is named by its step id.
#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct Gen {
    pub lease: Lease,
    pub until: u8,
    pub claims: u8,
    pub token: Id,
    pub step: Id,
}

/// The end record, `_id: {row, gen: 0}`: the finish that ended the row.
#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct End {
    pub fin: u8,
    pub token: Id,
    pub step: Id,
    pub claims: u8,
}

/// The mirror fields of a row: `_lease_gen`, `_claims`, `_lease_until`, `_lease_done` (0, 0,
/// `None`, false: absent).
#[derive(Clone, Copy, Debug, Default, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct Mirror {
    pub gen: u8,
    pub claims: u8,
    pub until: Option<u8>,
    pub done: bool,
}

/// A row document. `tampered` and `after_end` are the checker's notes, read by no actor: the
/// document was re-seeded or lost fields; it was inserted after its row ended in the leases.
#[derive(Clone, Copy, Debug, Default, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct RowDoc {
    pub mirror: Mirror,
    pub status: Option<Id>,
    pub tampered: bool,
    pub after_end: bool,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub enum Kind {
    Renew,
    GiveBack,
    Finish,
}

/// A handle object in a worker's memory: the stamped fields of its dict (`_lease_gen`,
/// `_lease_token`, `_claims`, `_lease_until` while live) and its process-local memory.
#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct Handle {
    pub row: u8,
    pub gen: u8,
    pub token: Id,
    pub claims: u8,
    pub until: u8,
    pub live: bool,
    pub renewed: bool,
    /// The step id kept for a generation after a call ended without a definite answer.
    pub pending: Option<(u8, Id)>,
    /// The call that raised on it, which the worker retries.
    pub raised: Option<Kind>,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub enum ClaimAt {
    Search,
    ReadTakeover {
        row: u8,
    },
    Insert(Claimed),
    Settle {
        row: u8,
        first: bool,
    },
    Reread {
        row: u8,
        end: End,
        store: bool,
    },
    Repair {
        row: u8,
        end: End,
        store: bool,
    },
    MirrorMax {
        row: u8,
        claims: u8,
    },
    CheckVoid(Claimed),
    Mirror(Claimed),
    /// `finish_again`: the insert of a closing generation (see `Claimed::close`).
    Close(Claimed),
}

/// A generation a claim inserts: held, for a handle; or, to close a row out of claims whose last
/// lease ran out, released (`close`), so that no overrunning holder can finish it any more.
#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct Claimed {
    pub row: u8,
    pub gen: u8,
    pub claims: u8,
    pub token: Id,
    pub close: bool,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct ClaimCall {
    pub now: u8,
    pub round: u8,
    pub tried: u8,
    /// The database as the call found it (see `Call::Waiting`).
    pub seen: u64,
    pub at: ClaimAt,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub enum StepAt {
    Insert,
    ReadDup,
    CheckEnd,
    InsertEnd,
    /// The step's generation is this call's: mirror it (`until` of a renewal); `adopted`: a
    /// renewal of an earlier attempt, after which the call goes on at the next generation.
    WriteMirror {
        adopted: bool,
        until: Option<u8>,
    },
    WriteStatus,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct StepCall {
    pub h: u8,
    pub kind: Kind,
    pub now: u8,
    pub gen: u8,
    pub step: Id,
    pub at: StepAt,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub enum Call {
    Idle,
    Claim(ClaimCall),
    Step(StepCall),
    /// Nothing claimed and something remains: the worker sleeps until its search would find a
    /// candidate, or nothing remains, in a database (or at a time) other than the one its last
    /// claim started in. A claim whose search finds nothing ends at once, and one in an
    /// unchanged database would find nothing again, so no waiting is skipped and none cycles.
    Waiting(u64),
    /// The loop ended: nothing remains, or `ReseededRowsError` for the row.
    Stopped(Option<u8>),
}

#[derive(Clone, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub struct Worker {
    pub handles: Vec<Handle>,
    pub call: Call,
}

impl Worker {
    fn visit_ids(&mut self, f: &mut dyn FnMut(&mut Id)) {
        for h in &mut self.handles {
            f(&mut h.token);
            if let Some((_, s)) = &mut h.pending {
                f(s);
            }
        }
        match &mut self.call {
            Call::Claim(c) => match &mut c.at {
                ClaimAt::Insert(k) | ClaimAt::CheckVoid(k) | ClaimAt::Mirror(k) | ClaimAt::Close(k) => {
                    f(&mut k.token)
                }
                ClaimAt::Reread { end, .. } | ClaimAt::Repair { end, .. } => end.visit_ids(f),
                _ => {}
            },
            Call::Step(c) => f(&mut c.step),
            _ => {}
        }
    }
}

impl End {
    fn visit_ids(&mut self, f: &mut dyn FnMut(&mut Id)) {
        f(&mut self.token);
        f(&mut self.step);
    }
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq, PartialOrd, Ord)]
pub enum DropAt {
    Read,
    StoreEnd(End),
    Find,
    Delete(u16),
}

/// What a caller of `finish` was told: (row, the step id of its finish, finished?).
pub type Answer = (u8, Id, bool);

#[derive(Clone, Debug, Hash, PartialEq, Eq)]
pub struct State {
    pub now: u8,
    pub leases: BTreeMap<(u8, u8), Gen>,
    pub ends: Vec<Option<End>>,
    pub rows: Vec<RowDoc>,
    pub workers: Vec<Worker>,
    /// The drop in progress: the row its batch is at, and the batch's next operation.
    pub drop: Option<(u8, DropAt)>,
    pub budget: Bounds,
    pub answers: Vec<Answer>,
    /// Ids from here on are unused.
    pub next_id: Id,
}

#[derive(Clone, Copy, Debug, Hash, PartialEq, Eq)]
pub enum Action {
    /// `claim`: the search, reading the rows; the worker tries this candidate.
    Pick(u8, u8),
    /// `extend_lease`, `release` or `finish` on a handle object: its first insert (`take_steps`, `step_queue`);
    /// `true`: the insert is applied and its reply lost.
    Step(u8, u8, Kind, bool),
    /// The next database operation of the worker's call; `true`: a write applied, reply lost.
    Do(u8, bool),
    Wake(u8),
    /// A copy of a worker's handle object, given to a worker (`dict(h)`, a pickle).
    Copy(u8, u8, u8),
    Crash(u8),
    Tick,
    /// Time passes past every lease.
    Pass,
    Drop,
    Reseed(u8),
    /// The row's mirror fields erased; `true`: its status reverted to pending as well.
    Erase(u8, bool),
}

enum Newest {
    Ended(End, bool),
    Free(u8, u8),
    /// Out of claims after this generation; `true`: a lease that ran out, which its holder can
    /// still finish.
    AtMax(u8, u8, bool),
    Held,
}

macro_rules! say {
    ($log:expr, $($arg:tt)*) => {
        if let Some(l) = $log.as_mut() {
            let _ = write!(l, $($arg)*);
        }
    };
}

fn bit(row: u8) -> u8 {
    1 << row
}

impl State {
    /// The database and the clock, for a waiting worker to see a change.
    /// Ids left out: no claim compares them, so they cannot change what it does.
    pub fn seen(&self) -> u64 {
        let mut h = DefaultHasher::new();
        self.now.hash(&mut h);
        for (k, g) in &self.leases {
            (k, g.lease, g.until, g.claims).hash(&mut h);
        }
        for e in &self.ends {
            e.map(|e| (e.fin, e.claims)).hash(&mut h);
        }
        for r in &self.rows {
            (r.mirror, r.status.is_some()).hash(&mut h);
        }
        h.finish()
    }

    /// Every id in the state, in an order given by the state's shape: those of the database,
    /// the drop and the answers first, then each worker's.
    pub fn visit_ids(&mut self, f: &mut dyn FnMut(&mut Id)) {
        self.visit_shared_ids(f);
        self.workers.iter_mut().for_each(|w| w.visit_ids(f));
    }

    fn visit_shared_ids(&mut self, f: &mut dyn FnMut(&mut Id)) {
        for g in self.leases.values_mut() {
            f(&mut g.token);
            f(&mut g.step);
        }
        self.ends.iter_mut().flatten().for_each(|e| e.visit_ids(f));
        self.rows.iter_mut().filter_map(|r| r.status.as_mut()).for_each(&mut *f);
        if let Some((_, DropAt::StoreEnd(e))) = &mut self.drop {
            e.visit_ids(f);
        }
        self.answers.iter_mut().for_each(|a| f(&mut a.1));
    }

    /// An id nothing refers to.
    fn fresh(&mut self) -> Id {
        self.next_id += 1;
        self.next_id - 1
    }

    /// The state's representative among those differing from it only in the names of their
    /// ids and the order of their workers: ids renamed in the order they first appear, workers
    /// sorted by their shape (their own ids left out), then ids renamed again.
    pub fn canon(&mut self) {
        let rename = |s: &mut State| {
            let mut names = [Id::MAX; 256];
            let mut next = 0;
            s.visit_ids(&mut |id| {
                if names[*id as usize] == Id::MAX {
                    names[*id as usize] = next;
                    next += 1;
                }
                *id = names[*id as usize];
            });
            next
        };
        self.answers.sort_unstable_by_key(|a| (a.0, a.2));
        rename(self);
        let mut shared = 0;
        self.visit_shared_ids(&mut |id| shared = shared.max(*id + 1));
        let shape = |w: &Worker| {
            let mut w = w.clone();
            w.visit_ids(&mut |id| *id = if *id < shared { *id } else { Id::MAX });
            w
        };
        self.workers.sort_by_cached_key(shape);
        self.next_id = rename(self);
        self.answers.sort_unstable();
    }

    fn gens(&self, row: u8) -> impl DoubleEndedIterator<Item = (&(u8, u8), &Gen)> {
        self.leases.range((row, 1)..=(row, u8::MAX))
    }

    /// `read_newest`: the truth about a row, from the lease collection alone.
    fn newest(&self, row: u8, now: u8, max_claims: u8) -> Newest {
        if let Some(e) = self.ends[row as usize] {
            return Newest::Ended(e, true);
        }
        match self.gens(row).next_back() {
            None => Newest::Free(0, 0),
            Some((&(_, gen), g)) => match g.lease {
                Lease::Finished => {
                    Newest::Ended(End { fin: gen, token: g.token, step: g.step, claims: g.claims }, false)
                }
                Lease::Held if g.until >= now => Newest::Held,
                _ if g.claims >= max_claims => Newest::AtMax(gen, g.claims, g.lease == Lease::Held),
                _ => Newest::Free(gen, g.claims),
            },
        }
    }

    fn ended(&self, row: u8) -> bool {
        self.ends[row as usize].is_some() || self.gens(row).any(|(_, g)| g.lease == Lease::Finished)
    }

    /// `write_mirror`: lands unless the row's mirror already shows this generation or a newer.
    fn mirror(&mut self, row: u8, m: Mirror) {
        let doc = &mut self.rows[row as usize];
        if doc.mirror.gen < m.gen {
            doc.mirror = m;
        }
    }

    /// The end of the last lease that the leases or the mirror show.
    fn last_until(&self) -> u8 {
        let held = self.leases.values().filter(|g| g.lease == Lease::Held).map(|g| g.until);
        let mirrored = self.rows.iter().filter_map(|r| r.mirror.until);
        held.chain(mirrored).max().unwrap_or(0)
    }

    /// A job re-seeds only rows that ended and whose finisher was told, with no call on them in
    /// flight: no worker's call at one of its steps, and no handle of it keeping a step id for a
    /// retry.
    fn reseedable(&self, row: u8) -> bool {
        let told = self.ends[row as usize].is_some_and(|e| self.answers.contains(&(row, e.step, true)));
        let busy = |w: &Worker| {
            let at = match w.call {
                Call::Step(c) => Some(w.handles[c.h as usize].row),
                Call::Claim(c) => match c.at {
                    ClaimAt::Search => None,
                    ClaimAt::ReadTakeover { row }
                    | ClaimAt::Settle { row, .. }
                    | ClaimAt::Reread { row, .. }
                    | ClaimAt::Repair { row, .. }
                    | ClaimAt::MirrorMax { row, .. } => Some(row),
                    ClaimAt::Insert(k) | ClaimAt::CheckVoid(k) | ClaimAt::Mirror(k) | ClaimAt::Close(k) => {
                        Some(k.row)
                    }
                },
                _ => None,
            };
            at == Some(row) || w.handles.iter().any(|h| h.row == row && h.pending.is_some())
        };
        told && !self.workers.iter().any(busy)
    }

    fn running(&self) -> bool {
        self.workers.iter().any(|w| !matches!(w.call, Call::Stopped(_)))
    }
}

impl Queue {
    pub fn new(bounds: Bounds, switches: Switches) -> Self {
        Queue { bounds, switches }
    }

    /// The candidates of a search at `now`: rows whose mirror shows no live lease, no finish and
    /// fewer than `max_claims` claims.
    fn candidates(&self, s: &State, c: &ClaimCall) -> Vec<u8> {
        if c.round >= ROUNDS {
            return vec![];
        }
        (0..self.bounds.rows as u8)
            .filter(|&r| c.tried & bit(r) == 0)
            .filter(|&r| {
                let m = &s.rows[r as usize].mirror;
                // a row out of claims whose lease ran out is read once more, to be closed or
                // repaired: its holder may have finished it, or died finishing it
                let open =
                    m.claims < self.bounds.max_claims || (m.until.is_some() && !self.switches.hidden_at_max);
                !m.done && m.until.is_none_or(|u| u < c.now) && open
            })
            .collect()
    }

    /// `queue_progress`: the rows not finished, and leased or free, by their mirror.
    fn remaining(&self, s: &State) -> usize {
        let open = |m: &Mirror| {
            !m.done && (m.until.is_some_and(|u| u >= s.now) || m.claims < self.bounds.max_claims)
        };
        s.rows.iter().filter(|r| open(&r.mirror)).count()
    }

    /// `write_mirror` of a finished generation: the status and the mirror of the finished row.
    /// A finisher's write is filtered by `_id` alone, whatever the mirror shows (a job's own
    /// `replace_one` may have erased it while the claim held the row); a repair's
    /// (`finish_again`) only lands on a row that has `_lease_gen`, so never on a re-seeded one.
    fn write_status(&self, s: &mut State, row: u8, e: &End, repair: bool) {
        let doc = &mut s.rows[row as usize];
        if !repair || doc.mirror.gen > 0 {
            doc.status = Some(e.step);
            doc.mirror = Mirror { gen: e.fin, claims: e.claims, until: None, done: true };
        }
    }

    fn apply(&self, s: &State, a: Action, log: &mut Option<String>) -> Option<State> {
        let mut n = s.clone();

        match a {
            Action::Pick(w, row) => {
                let c = match s.workers[w as usize].call {
                    Call::Claim(c) => c,
                    _ => ClaimCall { now: s.now, round: 0, tried: 0, seen: s.seen(), at: ClaimAt::Search },
                };
                if row == NONE {
                    let remaining = self.remaining(s);
                    say!(log, "w{w} claim/search (now {}): no candidate, nothing returned; ", c.now);
                    say!(log, "queue_progress: remaining {remaining}");
                    n.workers[w as usize] = if remaining == 0 {
                        say!(log, ": the loop ends");
                        Worker { handles: vec![], call: Call::Stopped(None) }
                    } else {
                        Worker { call: Call::Waiting(c.seen), ..n.workers[w as usize].clone() }
                    };
                    return Some(n);
                }
                let first = s.rows[row as usize].mirror.gen == 0;
                let at = if first {
                    ClaimAt::Insert(Claimed { row, gen: 1, claims: 1, token: n.fresh(), close: false })
                } else {
                    ClaimAt::ReadTakeover { row }
                };
                say!(log, "w{w} claim/search (now {}): tries r{row}", c.now);
                say!(log, "{}", if first { ", a first claim" } else { ", a takeover candidate" });
                n.workers[w as usize].call =
                    Call::Claim(ClaimCall { round: c.round + 1, tried: c.tried | bit(row), at, ..c });
            }
            Action::Step(w, j, kind, lost) => {
                let h = s.workers[w as usize].handles[j as usize];
                let name = ["extend_lease", "release", "finish"][kind as usize];
                say!(log, "w{w} {name}(h{j}: r{} gen {} token t{})", h.row, h.gen, h.token);
                if !h.live {
                    say!(log, ": the handle is spent, nothing returned");
                    if let Some((_, step)) = h.pending {
                        n.answers.push((h.row, step, false));
                        n.answers.sort_unstable();
                    }
                    return Some(self.end_call(n, w, j));
                }
                if h.raised.is_none() {
                    match kind {
                        Kind::Renew => n.budget.renewals -= 1,
                        Kind::GiveBack => n.budget.releases -= 1,
                        Kind::Finish => {}
                    }
                }
                let gen = h.gen + 1;
                let step = match h.pending {
                    Some((g, id)) if g == gen => id,
                    _ => n.fresh(),
                };
                n.workers[w as usize].handles[j as usize].pending = Some((gen, step));
                let c = StepCall { h: j, kind, now: s.now, gen, step, at: StepAt::Insert };
                return self.step_op(n, w, c, lost, log);
            }
            Action::Do(w, lost) => match s.workers[w as usize].call {
                Call::Claim(c) => return self.claim_op(n, w, c, lost, log),
                Call::Step(c) => return self.step_op(n, w, c, lost, log),
                _ => return None,
            },
            Action::Wake(w) => {
                say!(log, "w{w} wakes");
                n.workers[w as usize].call = Call::Idle;
            }
            Action::Copy(w, j, to) => {
                let h = s.workers[w as usize].handles[j as usize];
                say!(log, "w{to} gets a copy of w{w}'s h{j} (r{} gen {} token t{})", h.row, h.gen, h.token);
                let target = &mut n.workers[to as usize];
                target.handles.push(Handle { pending: None, raised: None, renewed: false, ..h });
                if matches!(target.call, Call::Waiting(_)) {
                    target.call = Call::Idle;
                }
                n.budget.copies -= 1;
            }
            Action::Crash(w) => {
                say!(log, "w{w} crashes: its memory is gone, it starts again");
                n.workers[w as usize] = Worker { handles: vec![], call: Call::Idle };
                n.budget.crashes -= 1;
            }
            Action::Tick => {
                say!(log, "the clock ticks: now {}", s.now + 1);
                n.now += 1;
                n.budget.ticks -= 1;
            }
            Action::Pass => {
                n.now = s.last_until() + 1;
                say!(log, "every worker waits; time passes: now {}", n.now);
            }
            Action::Drop => return self.drop_op(n, log),
            Action::Reseed(row) => {
                say!(log, "the job re-seeds r{row}: deleted and inserted again");
                n.rows[row as usize] =
                    RowDoc { tampered: true, after_end: s.ended(row), ..RowDoc::default() };
                n.budget.reseeds -= 1;
            }
            Action::Erase(row, revert) => {
                let doc = &mut n.rows[row as usize];
                doc.mirror = Mirror::default();
                doc.tampered = true;
                if revert {
                    doc.status = None;
                    say!(log, "r{row} reverts to its first version (no mirror, status pending)");
                } else {
                    say!(log, "r{row} loses its mirror fields");
                }
                n.budget.erasures -= 1;
            }
        }
        Some(n)
    }

    /// A call on a handle object ended with an answer: the worker is done with that object.
    fn end_call(&self, mut n: State, w: u8, j: u8) -> State {
        let wk = &mut n.workers[w as usize];
        wk.handles.remove(j as usize);
        wk.call = Call::Idle;
        n
    }

    fn raise(&self, mut n: State, w: u8, log: &mut Option<String>) -> Option<State> {
        say!(log, "; the reply is lost: the call raises");
        n.budget.lost_replies -= 1;
        let wk = &mut n.workers[w as usize];
        if let Call::Step(c) = wk.call {
            wk.handles[c.h as usize].raised = Some(c.kind);
        }
        wk.call = Call::Idle;
        Some(n)
    }

    fn refuse(&self, mut n: State, w: u8, row: u8, log: &mut Option<String>) -> Option<State> {
        say!(log, "; ReseededRowsError for r{row}: the worker stops");
        n.workers[w as usize] = Worker { handles: vec![], call: Call::Stopped(Some(row)) };
        Some(n)
    }

    /// The rest of a claim after trying a row: the next search round.
    fn next_round(&self, n: &mut State, w: u8, c: ClaimCall) {
        n.workers[w as usize].call = Call::Claim(ClaimCall { at: ClaimAt::Search, ..c });
    }

    fn claim_op(
        &self,
        mut n: State,
        w: u8,
        c: ClaimCall,
        lost: bool,
        log: &mut Option<String>,
    ) -> Option<State> {
        let b = &self.bounds;
        let set =
            |n: &mut State, at: ClaimAt| n.workers[w as usize].call = Call::Claim(ClaimCall { at, ..c });
        if lost && !matches!(c.at, ClaimAt::Insert(_)) {
            return None;
        }
        match c.at {
            ClaimAt::Search => return None,
            ClaimAt::ReadTakeover { row } | ClaimAt::Settle { row, .. } => {
                let first = matches!(c.at, ClaimAt::Settle { first: true, .. });
                let (name, retry) = match c.at {
                    ClaimAt::Settle { .. } => ("settle_lost_races", c.round < ROUNDS),
                    _ => ("read_takeovers", true),
                };
                say!(log, "w{w} claim/{name}: r{row} ");
                match n.newest(row, c.now, b.max_claims) {
                    Newest::Ended(end, stored) if first => {
                        say!(log, "ended; reads the row again");
                        set(&mut n, ClaimAt::Reread { row, end, store: !stored });
                    }
                    Newest::Ended(end, stored) => {
                        say!(log, "ended at gen {}: repair", end.fin);
                        set(&mut n, ClaimAt::Repair { row, end, store: !stored });
                    }
                    Newest::Free(gen, claims) if retry => {
                        say!(log, "free after gen {gen}: claims gen {}", gen + 1);
                        let token = n.fresh();
                        let round = c.round + matches!(c.at, ClaimAt::Settle { .. }) as u8;
                        let k = Claimed { row, gen: gen + 1, claims: claims + 1, token, close: false };
                        n.workers[w as usize].call =
                            Call::Claim(ClaimCall { round, at: ClaimAt::Insert(k), ..c });
                    }
                    Newest::AtMax(gen, claims, true) if !self.switches.hidden_at_max => {
                        say!(log, "out of claims, its lease at gen {gen} ran out: decide closes it");
                        let k = Claimed { row, gen: gen + 1, claims, token: n.fresh(), close: true };
                        set(&mut n, ClaimAt::Close(k));
                    }
                    Newest::AtMax(gen, claims, _) => {
                        say!(log, "out of claims at gen {gen}: decide finds it stuck");
                        set(&mut n, ClaimAt::MirrorMax { row, claims });
                    }
                    Newest::Held | Newest::Free(..) => {
                        say!(log, "held (or no rounds left): left alone");
                        self.next_round(&mut n, w, c);
                    }
                }
            }
            ClaimAt::Close(k) => {
                let Claimed { row, gen, claims, token, .. } = k;
                say!(
                    log,
                    "w{w} claim/finish_again: closes r{row}: inserts gen {gen} Released (token t{token})"
                );
                if let std::collections::btree_map::Entry::Vacant(e) = n.leases.entry((row, gen)) {
                    e.insert(Gen { lease: Lease::Released, until: 0, claims, token, step: token });
                    say!(log, ": stored");
                    if lost {
                        return self.raise(n, w, log);
                    }
                    set(&mut n, ClaimAt::Mirror(k));
                } else {
                    if lost {
                        return None;
                    }
                    say!(log, ": duplicate");
                    self.next_round(&mut n, w, c);
                }
            }
            ClaimAt::Insert(k) => {
                let Claimed { row, gen, claims, token, .. } = k;
                let until = c.now + b.lease;
                say!(log, "w{w} claim/insert_all: r{row} gen {gen} Held (token t{token}, until {until})");
                if let std::collections::btree_map::Entry::Vacant(e) = n.leases.entry((row, gen)) {
                    e.insert(Gen { lease: Lease::Held, until, claims, token, step: token });
                    say!(log, ": stored");
                    if lost {
                        return self.raise(n, w, log);
                    }
                    set(&mut n, if gen == 1 { ClaimAt::Mirror(k) } else { ClaimAt::CheckVoid(k) });
                } else {
                    if lost {
                        return None;
                    }
                    say!(log, ": duplicate");
                    set(&mut n, ClaimAt::Settle { row, first: gen == 1 });
                }
            }
            ClaimAt::CheckVoid(k) => {
                let (row, gen) = (k.row, k.gen);
                say!(log, "w{w} claim/drop_void_claims: r{row} ");
                match n.ends[row as usize] {
                    Some(end) => {
                        say!(log, "has an end record: gen {gen} filled a freed _id, repair");
                        set(&mut n, ClaimAt::Repair { row, end, store: false });
                    }
                    None => {
                        say!(log, "has no end record");
                        set(&mut n, ClaimAt::Mirror(k));
                    }
                }
            }
            ClaimAt::Mirror(Claimed { row, gen, claims, token, close }) => {
                let until = c.now + b.lease;
                say!(log, "w{w} claim/write_mirror: r{row} gen {gen}");
                let held = (!close).then_some(until);
                n.mirror(row, Mirror { gen, claims, until: held, done: false });
                if close {
                    say!(log, ", closed");
                    self.next_round(&mut n, w, c);
                    return Some(n);
                }
                say!(log, "; returns a handle");
                let h = Handle {
                    row,
                    gen,
                    token,
                    claims,
                    until,
                    live: true,
                    renewed: false,
                    pending: None,
                    raised: None,
                };
                let wk = &mut n.workers[w as usize];
                wk.handles.push(h);
                wk.call = Call::Idle;
            }
            ClaimAt::MirrorMax { row, claims } => {
                // `$set _claims`, `$unset _lease_until` by `_id`: a generation is mirrored by its
                // own claim or step only, so `_lease_gen` is left as it is
                say!(log, "w{w} claim/finish_again: r{row}'s stuck mirror: {claims} claims, no lease");
                let m = &mut n.rows[row as usize].mirror;
                m.claims = claims;
                m.until = None;
                self.next_round(&mut n, w, c);
            }
            ClaimAt::Reread { row, end, store } => {
                say!(log, "w{w} claim/sort_suspects: reads r{row} again: ");
                if n.rows[row as usize].mirror.gen == 0 {
                    say!(log, "no _lease_gen, re-seeded");
                    return self.refuse(n, w, row, log);
                }
                say!(log, "it has its mirror: repair");
                set(&mut n, ClaimAt::Repair { row, end, store });
            }
            ClaimAt::Repair { row, end, store: true } => {
                say!(
                    log,
                    "w{w} claim/finish_again: stores r{row}'s end record (gen {}, step s{})",
                    end.fin,
                    end.step
                );
                n.ends[row as usize].get_or_insert(end);
                set(&mut n, ClaimAt::Repair { row, end, store: false });
            }
            ClaimAt::Repair { row, end, store: false } => {
                say!(log, "w{w} claim/finish_again: writes r{row}'s status s{}", end.step);
                if n.rows[row as usize].mirror.gen == 0 {
                    say!(log, ": no row has _lease_gen, nothing written");
                }
                self.write_status(&mut n, row, &end, true);
                self.next_round(&mut n, w, c);
            }
        }
        Some(n)
    }

    fn not_finished(&self, mut n: State, w: u8, log: &mut Option<String>) -> State {
        if let Call::Step(c) = n.workers[w as usize].call {
            let row = n.workers[w as usize].handles[c.h as usize].row;
            say!(log, "; finish returns nothing");
            n.answers.push((row, c.step, false));
            n.answers.sort_unstable();
            return self.end_call(n, w, c.h);
        }
        n
    }

    fn lost(&self, n: State, w: u8, log: &mut Option<String>) -> State {
        say!(log, "; the lease is lost, nothing returned");
        match n.workers[w as usize].call {
            Call::Step(c) => self.end_call(n, w, c.h),
            _ => n,
        }
    }

    /// The finish is this call's: on to the status write (the old code stamped the handle spent
    /// first).
    fn to_status(&self, n: &mut State, w: u8, c: StepCall) {
        let wk = &mut n.workers[w as usize];
        if self.switches.old_finish {
            wk.handles[c.h as usize].live = false;
        }
        wk.call = Call::Step(StepCall { at: StepAt::WriteStatus, ..c });
    }

    fn step_op(
        &self,
        mut n: State,
        w: u8,
        c: StepCall,
        lost: bool,
        log: &mut Option<String>,
    ) -> Option<State> {
        let h = n.workers[w as usize].handles[c.h as usize];
        let row = h.row;
        let set = |n: &mut State, at: StepAt| n.workers[w as usize].call = Call::Step(StepCall { at, ..c });
        let names = |e: &End| e.fin == c.gen && e.token == h.token && e.step == c.step;
        // the old finish, having won its generation, met an end record and took it for its
        // own by generation and token
        let old_names = |e: &End| self.switches.old_drop && e.fin == c.gen && e.token == h.token;
        let end = End { fin: c.gen, token: h.token, step: c.step, claims: h.claims };
        if lost && !matches!(c.at, StepAt::Insert | StepAt::InsertEnd | StepAt::WriteStatus) {
            return None;
        }
        match c.at {
            // `step_queue`: the step's insert of generation g+1
            StepAt::Insert => {
                let (lease, until) = match c.kind {
                    Kind::Renew => (Lease::Held, c.now + self.bounds.lease),
                    Kind::GiveBack => (Lease::Released, 0),
                    Kind::Finish => (Lease::Finished, 0),
                };
                say!(log, " take_steps/step_queue: inserts gen {} {lease:?} step s{}", c.gen, c.step);
                if let std::collections::btree_map::Entry::Vacant(e) = n.leases.entry((row, c.gen)) {
                    e.insert(Gen { lease, until, claims: h.claims, token: h.token, step: c.step });
                    say!(log, ": stored");
                    set(&mut n, if c.kind == Kind::Finish { StepAt::InsertEnd } else { StepAt::CheckEnd });
                    if lost {
                        return self.raise(n, w, log);
                    }
                } else {
                    if lost {
                        return None;
                    }
                    say!(log, ": duplicate");
                    set(&mut n, StepAt::ReadDup);
                    if c.kind == Kind::Finish && self.switches.old_finish {
                        return Some(self.not_finished(n, w, log));
                    }
                }
            }
            StepAt::ReadDup => {
                say!(log, "w{w} decide_round: reads r{row} gen {}, {} and the end record", c.gen, c.gen + 1);
                let d = n.leases.get(&(row, c.gen)).copied();
                // an earlier attempt's generation that another claim has followed since is lost
                let followed = n.leases.contains_key(&(row, c.gen + 1));
                let mine = d.filter(|d| d.token == h.token && d.step == c.step && !followed).map(|d| d.lease);
                let e = n.ends[row as usize];
                match (c.kind, e, mine) {
                    (Kind::Finish, Some(e), _) if names(&e) => {
                        say!(log, ": the end record is this finish's");
                        self.to_status(&mut n, w, c);
                    }
                    (Kind::Finish, None, Some(Lease::Finished)) => {
                        say!(log, ": gen {} is this finish's", c.gen);
                        set(&mut n, StepAt::InsertEnd);
                    }
                    (Kind::Finish, _, _) if e.is_some() => return Some(self.not_finished(n, w, log)),
                    (_, None, Some(Lease::Held)) => {
                        say!(log, ": a renewal of this call's earlier attempt");
                        let until = d.map(|d| d.until);
                        set(&mut n, StepAt::WriteMirror { adopted: c.kind != Kind::Renew, until });
                    }
                    (Kind::GiveBack, None, Some(Lease::Released)) => {
                        say!(log, ": this call's earlier give-back");
                        set(&mut n, StepAt::WriteMirror { adopted: false, until: None });
                    }
                    (Kind::Finish, _, _) => return Some(self.not_finished(n, w, log)),
                    _ => return Some(self.lost(n, w, log)),
                }
            }
            StepAt::CheckEnd => {
                say!(log, "w{w} decide_round: reads r{row}'s end record");
                if n.ends[row as usize].is_some() {
                    say!(log, ": the row ended, gen {} filled a freed _id", c.gen);
                    return Some(self.lost(n, w, log));
                }
                let until = (c.kind == Kind::Renew).then_some(c.now + self.bounds.lease);
                set(&mut n, StepAt::WriteMirror { adopted: false, until });
            }
            StepAt::InsertEnd => {
                say!(
                    log,
                    "w{w} settle_finishes: inserts r{row}'s end record (gen {}, step s{})",
                    c.gen,
                    c.step
                );
                match n.ends[row as usize] {
                    None => {
                        n.ends[row as usize] = Some(end);
                        say!(log, ": stored");
                        if lost {
                            return self.raise(n, w, log);
                        }
                        self.to_status(&mut n, w, c);
                    }
                    Some(_) if lost => return None,
                    Some(e) if names(&e) || old_names(&e) => {
                        say!(log, ": duplicate, and it names this finish");
                        self.to_status(&mut n, w, c);
                    }
                    Some(e) => {
                        say!(log, ": duplicate, naming gen {} step s{}", e.fin, e.step);
                        return Some(self.not_finished(n, w, log));
                    }
                }
            }
            StepAt::WriteStatus => {
                say!(log, "w{w} step_queue/write_mirror: writes r{row}'s status s{} by _id", c.step);
                self.write_status(&mut n, row, &end, false);
                if lost {
                    return self.raise(n, w, log);
                }
                say!(log, "; stamp_handle; finish returns the item");
                n.answers.push((row, c.step, true));
                n.answers.sort_unstable();
                return Some(self.end_call(n, w, c.h));
            }
            StepAt::WriteMirror { adopted, until } => {
                let by = if adopted { "decide_round" } else { "step_queue" };
                say!(log, "w{w} {by}/write_mirror: r{row} gen {}; stamp_handle", c.gen);
                n.mirror(row, Mirror { gen: c.gen, claims: h.claims, until, done: false });
                let wk = &mut n.workers[w as usize];
                let hm = &mut wk.handles[c.h as usize];
                hm.gen = c.gen;
                hm.until = until.unwrap_or(hm.until);
                if adopted {
                    let step = n.fresh();
                    say!(log, "; adopted, the call goes on at gen {}", c.gen + 1);
                    let wk = &mut n.workers[w as usize];
                    wk.handles[c.h as usize].pending = Some((c.gen + 1, step));
                    wk.call = Call::Step(StepCall { gen: c.gen + 1, step, at: StepAt::Insert, ..c });
                    return Some(n);
                }
                if c.kind == Kind::GiveBack {
                    say!(log, "; release returns the item");
                    return Some(self.end_call(n, w, c.h));
                }
                say!(log, "; extend_lease returns the item");
                *hm = Handle { renewed: true, pending: None, raised: None, ..*hm };
                wk.call = Call::Idle;
            }
        }
        Some(n)
    }

    /// `drop_finished_leases`: one batch per row: read its finished documents, store the end
    /// record if it is missing (`drop_batch`), find the generations after the first, delete them.
    fn drop_op(&self, mut n: State, log: &mut Option<String>) -> Option<State> {
        let (row, at) = n.drop.unwrap_or_else(|| {
            n.budget.drops -= 1;
            (0, DropAt::Read)
        });
        let next_row = |n: &mut State| {
            n.drop = (row + 1 < self.bounds.rows as u8).then_some((row + 1, DropAt::Read));
        };
        match at {
            DropAt::Read => {
                say!(log, "drop_finished_leases: reads r{row}'s finished documents");
                let finished = n.gens(row).find(|(_, g)| g.lease == Lease::Finished);
                match (n.ends[row as usize], finished) {
                    (Some(_), _) => n.drop = Some((row, DropAt::Find)),
                    (None, Some((&(_, fin), g))) => {
                        let e = End { fin, token: g.token, step: g.step, claims: g.claims };
                        n.drop = Some((row, DropAt::StoreEnd(e)));
                    }
                    (None, None) => {
                        say!(log, ": none");
                        next_row(&mut n);
                    }
                }
            }
            DropAt::StoreEnd(e) => {
                say!(log, "drop_batch: stores r{row}'s end record (gen {}, step s{})", e.fin, e.step);
                n.ends[row as usize].get_or_insert(e);
                n.drop = Some((row, DropAt::Find));
            }
            DropAt::Find => {
                let gens = n.gens(row).fold(0u16, |m, (&(_, g), _)| if g > 1 { m | 1 << g } else { m });
                say!(log, "drop_batch: finds r{row}'s generations after the first: {gens:#b}");
                if gens == 0 {
                    next_row(&mut n);
                } else {
                    n.drop = Some((row, DropAt::Delete(gens)));
                }
            }
            DropAt::Delete(gens) => {
                say!(log, "drop_batch: deletes them");
                n.leases.retain(|&(r, g), _| r != row || gens & 1 << g == 0);
                next_row(&mut n);
            }
        }
        Some(n)
    }

    /// Holders of a row: live handle objects whose lease is unexpired by the server's clock and
    /// whose generation is the newest in the lease collection carrying their token.
    pub fn holders(&self, s: &State, row: u8) -> Vec<Id> {
        let mut tokens: Vec<Id> = s
            .workers
            .iter()
            .flat_map(|w| &w.handles)
            .filter(|h| h.row == row && h.live && h.until >= s.now)
            .filter(|h| {
                s.gens(row).filter(|(_, g)| g.token == h.token).map(|(k, _)| k.1).max() == Some(h.gen)
            })
            .map(|h| h.token)
            .collect();
        tokens.sort_unstable();
        tokens.dedup();
        tokens
    }

    /// Where every behaviour ends: each worker's loop has ended; each row finished (its status
    /// the finish's, unless the job tampered with the row) or stuck, or a worker stopped with
    /// `ReseededRowsError` for a row the job did re-seed or erase.
    pub fn settled(&self, s: &State) -> bool {
        let mut refused = false;
        for w in &s.workers {
            match w.call {
                Call::Stopped(Some(r)) if s.rows[r as usize].tampered => refused = true,
                Call::Stopped(None) => {}
                _ => return false,
            }
        }
        refused
            || (0..self.bounds.rows as u8).all(|r| {
                let doc = &s.rows[r as usize];
                match (s.ends[r as usize], s.gens(r).next_back()) {
                    (Some(e), _) => doc.status == Some(e.step) || doc.tampered,
                    (None, Some((_, g))) => g.lease != Lease::Finished && g.claims >= self.bounds.max_claims,
                    (None, None) => false,
                }
            })
    }
}

impl Model for Queue {
    type State = State;
    type Action = Action;

    fn init_states(&self) -> Vec<State> {
        let b = &self.bounds;
        vec![State {
            now: 0,
            leases: BTreeMap::new(),
            ends: vec![None; b.rows],
            rows: vec![RowDoc::default(); b.rows],
            workers: vec![Worker { handles: vec![], call: Call::Idle }; b.workers],
            drop: None,
            budget: b.clone(),
            answers: vec![],
            next_id: 0,
        }]
    }

    fn actions(&self, s: &State, out: &mut Vec<Action>) {
        let lossy = s.budget.lost_replies > 0;
        for (i, w) in s.workers.iter().enumerate() {
            let i = i as u8;
            match w.call {
                Call::Idle if w.handles.is_empty() => {
                    let c = ClaimCall { now: s.now, round: 0, tried: 0, seen: 0, at: ClaimAt::Search };
                    let rows = self.candidates(s, &c);
                    out.extend(rows.iter().map(|&r| Action::Pick(i, r)));
                    if rows.is_empty() {
                        // a search that finds nothing: the claim returns nothing
                        out.push(Action::Pick(i, NONE));
                    }
                }
                Call::Idle => {
                    for (j, h) in w.handles.iter().enumerate() {
                        let kinds = match h.raised {
                            Some(Kind::Renew) => vec![Kind::Renew, Kind::GiveBack, Kind::Finish],
                            Some(k) => vec![k],
                            None => {
                                let b = &s.budget;
                                let mut k = vec![Kind::Finish];
                                if b.releases > 0 {
                                    k.push(Kind::GiveBack);
                                }
                                if b.renewals > 0 && !h.renewed {
                                    k.push(Kind::Renew);
                                }
                                k
                            }
                        };
                        for k in kinds {
                            out.push(Action::Step(i, j as u8, k, false));
                            if lossy && h.live {
                                out.push(Action::Step(i, j as u8, k, true));
                            }
                        }
                    }
                }
                Call::Claim(c) if c.at == ClaimAt::Search => {
                    let rows = self.candidates(s, &c);
                    out.extend(rows.iter().map(|&r| Action::Pick(i, r)));
                    if rows.is_empty() {
                        out.push(Action::Pick(i, NONE));
                    }
                }
                Call::Claim(_) | Call::Step(_) => {
                    out.push(Action::Do(i, false));
                    if lossy {
                        out.push(Action::Do(i, true));
                    }
                }
                Call::Waiting(seen) if seen != s.seen() => {
                    let c = ClaimCall { now: s.now, round: 0, tried: 0, seen, at: ClaimAt::Search };
                    if !self.candidates(s, &c).is_empty() || self.remaining(s) == 0 {
                        out.push(Action::Wake(i));
                    }
                }
                Call::Waiting(_) | Call::Stopped(_) => {}
            }
        }
        if s.budget.drops > 0 || s.drop.is_some() {
            out.push(Action::Drop);
        }
        if !s.running() {
            return;
        }
        if s.last_until() >= s.now {
            if s.budget.ticks > 0 {
                out.push(Action::Tick);
            }
            let waiting = |w: &Worker| matches!(w.call, Call::Waiting(_) | Call::Stopped(_));
            if s.workers.iter().all(waiting) {
                out.push(Action::Pass);
            }
        }
        for (i, w) in s.workers.iter().enumerate() {
            let i = i as u8;
            if matches!(w.call, Call::Stopped(_)) {
                continue;
            }
            if s.budget.crashes > 0 {
                out.push(Action::Crash(i));
            }
            if s.budget.copies > 0 {
                for (j, h) in w.handles.iter().enumerate() {
                    if h.live {
                        for to in 0..s.workers.len() as u8 {
                            if !matches!(s.workers[to as usize].call, Call::Stopped(_)) {
                                out.push(Action::Copy(i, j as u8, to));
                            }
                        }
                    }
                }
            }
        }
        for r in 0..self.bounds.rows as u8 {
            let doc = &s.rows[r as usize];
            if s.budget.reseeds > 0 && s.reseedable(r) {
                out.push(Action::Reseed(r));
            }
            if s.budget.erasures > 0 && doc.mirror != Mirror::default() {
                out.push(Action::Erase(r, false));
            }
            if s.budget.erasures > 0 && doc.status.is_some() {
                out.push(Action::Erase(r, true));
            }
        }
    }

    fn next_state(&self, s: &State, a: Action) -> Option<State> {
        let mut n = self.apply(s, a, &mut None)?;
        n.canon();
        Some(n)
    }

    fn format_step(&self, s: &State, a: Action) -> Option<String> {
        let mut log = Some(String::new());
        self.apply(s, a, &mut log)?;
        log
    }

    fn properties(&self) -> Vec<Property<Self>> {
        vec![
            Property::always("at most one finish per row", |_: &Queue, s: &State| {
                (0..s.rows.len() as u8).all(|r| s.answers.iter().filter(|a| a.0 == r && a.2).count() <= 1)
            }),
            Property::always("no two holders with unexpired leases", |m: &Queue, s: &State| {
                (0..s.rows.len() as u8).all(|r| m.holders(s, r).len() <= 1)
            }),
            Property::always("the status is the finisher's", |_: &Queue, s: &State| {
                s.rows.iter().zip(&s.ends).all(|(doc, e)| match doc.status {
                    None => true,
                    Some(st) => e.is_some_and(|e| e.step == st) && !doc.after_end,
                })
            }),
            Property::always("finish answers truthfully", |_: &Queue, s: &State| {
                s.answers.iter().all(|&(row, step, finished)| {
                    // stored: the end record names it, or, with no end record yet, a finish
                    // generation (which the next claim or drop copies into one) carries it
                    let end = s.ends[row as usize];
                    let named = end.is_some_and(|e| e.step == step);
                    let finishes = || s.gens(row).any(|(_, g)| g.lease == Lease::Finished && g.step == step);
                    let stored = named || (end.is_none() && finishes());
                    if finished {
                        named
                    } else {
                        !stored
                    }
                })
            }),
            Property::eventually("every row finished, stuck or refused", |m: &Queue, s: &State| m.settled(s)),
        ]
    }
}

/// The property the old drop breaks: a copy commits a second time after a drop.
pub const CASE_DROP: &str = "at most one finish per row";
/// The property the old finish breaks: a retry after a lost reply is told "lost".
pub const CASE_FINISH: &str = "finish answers truthfully";
/// The property the search as first written breaks: a row out of claims whose finisher died
/// before its status write is never repaired.
pub const CASE_HIDDEN: &str = "every row finished, stuck or refused";

/// The behaviours the protocol replaced, each with the scenario that shows its fault and the
/// property it breaks there: (switch, scenario, property).
pub fn replaced() -> Vec<(Switches, &'static str, &'static str)> {
    let d = Switches::default();
    vec![
        (Switches { old_drop: true, ..d }, "copies, drops", CASE_DROP),
        (Switches { old_finish: true, ..d }, "lost replies, renewals", CASE_FINISH),
        (Switches { hidden_at_max: true, ..d }, "crashes, releases", CASE_HIDDEN),
    ]
}

/// One run of the checker and what it found.
pub struct Report {
    pub name: String,
    pub bounds: Bounds,
    pub switches: Switches,
    pub unique: usize,
    pub total: usize,
    pub depth: usize,
    pub seconds: f64,
    /// Every state within the bounds was explored.
    pub done: bool,
    /// Each property with a counterexample, and its trace, one line an action.
    pub failed: Vec<(&'static str, Vec<String>)>,
}

impl Report {
    pub fn passed(&self) -> bool {
        self.done && self.failed.is_empty()
    }
}

impl std::fmt::Display for Report {
    fn fmt(&self, f: &mut std::fmt::Formatter<'_>) -> std::fmt::Result {
        let b = &self.bounds;
        let mut budgets = vec![];
        for (n, what) in [
            (b.copies, "copies"),
            (b.lost_replies, "lost replies"),
            (b.crashes, "crashes"),
            (b.reseeds, "re-seeds"),
            (b.erasures, "erasures"),
            (b.drops, "drops"),
            (b.renewals, "renewals"),
            (b.releases, "releases"),
            (b.ticks, "ticks"),
        ] {
            if n > 0 {
                budgets.push(format!("{n} {what}"));
            }
        }
        writeln!(f, "== {}", self.name)?;
        writeln!(
            f,
            "bounds: {} workers x {} rows, max_claims {}, lease {}; {}",
            b.workers,
            b.rows,
            b.max_claims,
            b.lease,
            budgets.join(", ")
        )?;
        let s = &self.switches;
        if *s != Switches::default() {
            writeln!(f, "switches: {s:?}")?;
        }
        let how = if self.done { "all explored" } else { "stopped at the counterexample" };
        writeln!(
            f,
            "states: {} unique ({} generated), depth {}, {:.1} s, {how}",
            self.unique, self.total, self.depth, self.seconds
        )?;
        for (name, trace) in &self.failed {
            writeln!(f, "counterexample to \"{name}\":")?;
            for (i, line) in trace.iter().enumerate() {
                writeln!(f, "  {:2}. {line}", i + 1)?;
            }
        }
        writeln!(f, "{}", if self.passed() { "PASS" } else { "FAIL" })
    }
}

/// Checks the model at `bounds`. Without `expect`, every state is explored; with it, the
/// search deepens two steps at a time until it meets a counterexample to that property, so
/// that the trace is a short one.
pub fn check(
    name: &str,
    bounds: &Bounds,
    switches: Switches,
    expect: Option<&'static str>,
    threads: usize,
) -> Report {
    use stateright::{Checker, HasDiscoveries};
    let start = std::time::Instant::now();
    let mut depth = 8;
    loop {
        let model = Queue::new(bounds.clone(), switches);
        let mut builder = model.checker().threads(threads);
        if bounds.states > 0 {
            builder = builder.target_state_count(bounds.states);
        }
        if let Some(p) = expect {
            let until = HasDiscoveries::AnyOf([p].into_iter().collect());
            builder = builder.finish_when(until).target_max_depth(depth);
        }
        let checker = builder.spawn_bfs().join();
        let found = |p| checker.discoveries().contains_key(p);
        if expect.is_some_and(|p| !found(p) && checker.max_depth() + 1 >= depth) {
            depth += 2;
            continue;
        }
        let model = checker.model();
        let mut failed: Vec<_> = checker
            .discoveries()
            .into_iter()
            .filter(|(p, _)| expect.is_none_or(|e| e == *p))
            .map(|(p, path)| (p, model.trace(path.into_states())))
            .collect();
        failed.sort_by_key(|(p, _)| *p);
        return Report {
            name: name.to_string(),
            bounds: bounds.clone(),
            switches,
            unique: checker.unique_state_count(),
            total: checker.state_count(),
            depth: checker.max_depth(),
            seconds: start.elapsed().as_secs_f64(),
            done: expect.is_none() && (bounds.states == 0 || checker.state_count() < bounds.states),
            failed,
        };
    }
}

impl Queue {
    /// A path of the checker, told action by action. The checker's states have their ids
    /// renamed and their workers sorted; the path is replayed from the first state without
    /// either, so that the trace names each worker and id one way throughout.
    fn trace(&self, path: Vec<State>) -> Vec<String> {
        let mut s = self.init_states().remove(0);
        let mut trace = vec![];
        for next in path.into_iter().skip(1) {
            let mut actions = vec![];
            self.actions(&s, &mut actions);
            let a = actions
                .into_iter()
                .find(|&a| self.next_state(&s, a).as_ref() == Some(&next))
                .expect("each step of a path is an action");
            trace.extend(self.format_step(&s, a));
            s = self.apply(&s, a, &mut None).expect("an action");
        }
        trace
    }
}
