// The content repository and storage: manifests, storages, decode stages and the jobs that keep a
// local installation level with a remote manifest.
