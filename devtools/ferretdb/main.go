// testdb runs a MongoDB-wire-compatible server (FerretDB with its SQLite
// backend) for the tests and the example job.
//
//	testdb -listen 127.0.0.1:0 -data DIR
//
// It prints the connection string on its first line of standard output once
// the listener accepts connections, and stops cleanly on SIGINT or SIGTERM.
package main

import (
	"context"
	"flag"
	"fmt"
	"io"
	"log/slog"
	"os"
	"os/signal"
	"path/filepath"
	"syscall"

	"github.com/FerretDB/FerretDB/ferretdb"
)

func main() {
	listen := flag.String("listen", "127.0.0.1:0", "TCP address to listen on")
	data := flag.String("data", "", "directory for the SQLite databases (required)")
	verbose := flag.Bool("v", false, "log to standard error")
	flag.Parse()

	if *data == "" {
		fmt.Fprintln(os.Stderr, "testdb: -data is required")
		os.Exit(2)
	}
	dir, err := filepath.Abs(*data)
	if err == nil {
		err = os.MkdirAll(dir, 0o755)
	}
	if err != nil {
		fmt.Fprintln(os.Stderr, "testdb:", err)
		os.Exit(1)
	}

	var out io.Writer = io.Discard
	if *verbose {
		out = os.Stderr
	}
	logger := slog.New(slog.NewTextHandler(out, &slog.HandlerOptions{Level: slog.LevelWarn}))

	f, err := ferretdb.New(&ferretdb.Config{
		Listener:  ferretdb.ListenerConfig{TCP: *listen},
		Logger:    logger,
		Handler:   "sqlite",
		SQLiteURL: "file:" + dir + "/",
	})
	if err != nil {
		fmt.Fprintln(os.Stderr, "testdb:", err)
		os.Exit(1)
	}

	ctx, stop := signal.NotifyContext(context.Background(), os.Interrupt, syscall.SIGTERM)
	defer stop()

	done := make(chan struct{})
	go func() {
		defer close(done)
		f.Run(ctx)
	}()

	// MongoDBURI waits until the listener is bound.
	fmt.Println(f.MongoDBURI())
	<-done
}
