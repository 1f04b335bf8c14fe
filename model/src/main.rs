//! `workqueue-model [--all] [--long] [--old-drop] [--old-finish] [--hidden-at-max]
//! [--scenario NAME] [--workers N] [--rows N] [--max-claims N] [--lease N]
//! [--copies N] [--lost-replies N] [--crashes N] [--reseeds N] [--erasures N] [--drops N]
//! [--renewals N] [--releases N] [--ticks N] [--states N] [--threads N]`
//!
//! Checks the lease protocol exhaustively and prints, for each run, its bounds, the states
//! explored, the time and PASS or FAIL, with a trace for every counterexample. Without bounds
//! given it checks every scenario (`--long`: the deeper list); with any, the one run they make.
//! `--all` checks the scenarios and then each replaced behaviour, on the scenario that shows it,
//! where it must fail with its own property; the exit status says whether all went as required.

use std::process::ExitCode;
use std::time::Instant;
use workqueue_model::{check, replaced, scenarios, Bounds, Switches};

fn main() -> ExitCode {
    let args: Vec<String> = std::env::args().skip(1).collect();
    let mut bounds = Bounds::default();
    let mut custom = false;
    let mut switches = Switches::default();
    let (mut all, mut long, mut only, mut threads) = (false, false, None, 2);
    let mut it = args.iter();
    while let Some(arg) = it.next() {
        let mut value = || it.next().cloned().unwrap_or_else(|| panic!("{arg} needs a value"));
        let mut number = || -> usize { value().parse().unwrap_or_else(|_| panic!("{arg} needs a number")) };
        let mut budget = |field: &mut u8| {
            *field = number() as u8;
            custom = true;
        };
        match arg.as_str() {
            "--all" => all = true,
            "--long" => long = true,
            "--old-drop" => switches.old_drop = true,
            "--old-finish" => switches.old_finish = true,
            "--hidden-at-max" => switches.hidden_at_max = true,
            "--scenario" => only = Some(value()),
            "--threads" => threads = number(),
            "--states" => bounds.states = number(),
            "--workers" => {
                bounds.workers = number();
                custom = true;
            }
            "--rows" => {
                bounds.rows = number();
                custom = true;
            }
            "--max-claims" => budget(&mut bounds.max_claims),
            "--lease" => budget(&mut bounds.lease),
            "--copies" => budget(&mut bounds.copies),
            "--lost-replies" => budget(&mut bounds.lost_replies),
            "--crashes" => budget(&mut bounds.crashes),
            "--reseeds" => budget(&mut bounds.reseeds),
            "--erasures" => budget(&mut bounds.erasures),
            "--drops" => budget(&mut bounds.drops),
            "--renewals" => budget(&mut bounds.renewals),
            "--releases" => budget(&mut bounds.releases),
            "--ticks" => budget(&mut bounds.ticks),
            _ => {
                eprintln!("unknown argument {arg}; see the head of src/main.rs");
                return ExitCode::from(2);
            }
        }
    }
    let list = scenarios(long);
    let scenario = |name: &str| list.iter().find(|(n, _)| *n == name).expect("a scenario").1.clone();
    // (name, bounds, switches, the property that must fail)
    let mut runs: Vec<(String, Bounds, Switches, Option<&'static str>)> = if custom {
        vec![("custom".into(), bounds.clone(), switches, None)]
    } else {
        let states = bounds.states;
        list.iter()
            .filter(|(n, _)| only.as_deref().is_none_or(|o| o == *n))
            .map(|(n, b)| (n.to_string(), Bounds { states, ..b.clone() }, switches, None))
            .collect()
    };
    if all {
        for (switches, name, expect) in replaced() {
            runs.push((name.into(), scenario(name), switches, Some(expect)));
        }
    }
    let start = Instant::now();
    let (mut ok, mut states) = (true, 0);
    for (name, bounds, switches, expect) in runs {
        let report = check(&name, &bounds, switches, expect, threads);
        println!("{report}");
        states += report.unique;
        ok &= match expect {
            None => report.passed(),
            Some(p) => report.failed.iter().any(|(name, _)| *name == p),
        };
    }
    println!(
        "model-check: {} ({} states in {:.1} s)",
        if ok { "PASS" } else { "FAIL" },
        states,
        start.elapsed().as_secs_f64()
    );
    if ok {
        ExitCode::SUCCESS
    } else {
        ExitCode::FAILURE
    }
}
