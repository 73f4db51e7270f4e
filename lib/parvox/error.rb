class Parvox
  # What instances made by Parvox.open and Parvox.create raise where the
  # others answer false or nil: one class per kind of failure a caller may
  # handle differently. The message is the reason #last_error gives.
  class Error < StandardError
    # The name of the entry the call was about, where it named one.
    attr_reader :entry
    # The kind of failure, as a Symbol (:damaged, :password, …; :other).
    attr_reader :kind

    def initialize(message = nil, entry: nil, kind: :other)
      super(message)
      @entry = entry
      @kind = kind
    end
  end

  # The archive is no zip archive, or its directory contradicts itself.
  class NotAnArchiveError < Error; end
  # A wrong password, or none for an encrypted entry.
  class PasswordError < Error; end
  # No entry by that name.
  class EntryNotFoundError < Error; end
  # An entry's data or records are damaged.
  class DamagedEntryError < Error; end
  # An entry that would lead outside the target folder: nothing was written there.
  class UnsafeEntryError < Error; end
  # A name that cannot be stored or looked up (NUL, "..", an absolute path).
  class InvalidNameError < Error; end
  # A source, or the archive, could not be read (missing, no permission).
  class ReadError < Error; end
  # The archive or an extracted file could not be written (a full disk, a
  # stream whose reader went away).
  class WriteError < Error; end
  # A compression method or encryption that cannot be read.
  class UnsupportedError < Error; end
  # Another call holds the object (from its progress block, say).
  class BusyError < Error; end

  ERRORS = {
    not_archive: NotAnArchiveError, password: PasswordError, no_entry: EntryNotFoundError,
    damaged: DamagedEntryError, unsafe: UnsafeEntryError, invalid_name: InvalidNameError,
    read_failed: ReadError, write_failed: WriteError, unsupported: UnsupportedError, busy: BusyError,
  }.freeze
  private_constant :ERRORS

  # The exception for a failure of `kind` (a Symbol) with `reason`.
  def self.error_for(kind = :other, reason = "the call failed", entry = nil)
    ERRORS.fetch(kind, Error).new(reason, entry: entry, kind: kind)
  end
  private_class_method :error_for
end
