//! The protocol passes every scenario, and each behaviour it replaced fails there with its own
//! property, on the trace that shows the fault. `make model-check` runs these with the reports
//! printed (`--nocapture`).

use stateright::Model;
use workqueue_model::*;

fn scenario(name: &str) -> Bounds {
    scenarios(false).into_iter().find(|(n, _)| *n == name).expect("a scenario").1
}

#[test]
fn the_protocol_passes_every_scenario() {
    let start = std::time::Instant::now();
    let mut states = 0;
    for (name, bounds) in scenarios(false) {
        let report = check(name, &bounds, Switches::default(), None, 2);
        println!("{report}");
        states += report.unique;
        assert!(report.passed(), "{report}");
    }
    println!("the protocol: PASS ({states} states in {:.1} s)\n", start.elapsed().as_secs_f64());
}

/// Each replaced behaviour's counterexample, with steps its trace must have.
#[test]
fn each_replaced_behaviour_fails_with_its_own_property() {
    let steps: [&[&str]; 3] = [
        // a copy commits again after the drop freed the finish generation
        &["gets a copy", "drop_batch: deletes", "duplicate, and it names this finish"],
        // the retry of a finish whose insert was stored is told nothing
        &["the reply is lost", "duplicate; finish returns nothing"],
        // the last claim's finisher dies before its status write, and the row is counted stuck
        &["crashes", "the loop ends"],
    ];
    for ((switches, name, property), steps) in replaced().into_iter().zip(steps) {
        let report = check(name, &scenario(name), switches, Some(property), 2);
        println!("{report}");
        let (_, trace) = report.failed.iter().find(|(p, _)| *p == property).expect("a counterexample");
        for step in steps {
            assert!(trace.iter().any(|line| line.contains(step)), "no \"{step}\" in\n{report}");
        }
    }
}

/// States that differ only in the names of their ids and the order of their workers are one.
#[test]
fn renamed_ids_and_swapped_workers_are_one_state() {
    let q = Queue::new(Bounds { copies: 1, ..Bounds::default() }, Switches::default());
    let mut s = q.init_states().remove(0);
    // a claim, its copy handed to the other worker, and that worker's finish under way
    for _ in 0..6 {
        let mut actions = vec![];
        q.actions(&s, &mut actions);
        let a = actions.into_iter().find(|a| matches!(a, Action::Copy(..)));
        let a = a.unwrap_or_else(|| {
            let mut actions = vec![];
            q.actions(&s, &mut actions);
            actions[0]
        });
        s = q.next_state(&s, a).expect("an action");
    }
    let mut other = s.clone();
    other.workers.swap(0, 1);
    other.visit_ids(&mut |id| *id = 9 - *id);
    assert_ne!(s, other);
    assert_ne!(s.workers[0], s.workers[1]);
    other.canon();
    assert_eq!(s, other);
}
