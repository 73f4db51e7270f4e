require_relative "helper"

# lib/parvox.rb, which loads the parvox.so of the running Ruby from the
# x64-mingw-ucrt gem, run by a child Ruby that claims another version, beside
# empty parvox.so files for Ruby 3.1, 3.3 and 3.4.
class TestUcrtLoader < ParvoxTest
  LOADER = File.expand_path("../lib/parvox.rb", __dir__)

  # The LoadError the loader raises as Ruby `version`, with `held` beside it
  # and `elsewhere` first on the load path.
  def load_error_as(version, held: %w[3.1 3.3 3.4], elsewhere: path("elsewhere"))
    lib = path("lib")
    libraries = held.to_h { |minor| ["parvox/#{minor}/parvox.so", ""] }
    make_tree(lib, libraries.merge("parvox.rb" => File.binread(LOADER)))
    script = <<~RUBY
      $VERBOSE = nil
      Object.send(:remove_const, :RUBY_VERSION)
      RUBY_VERSION = ARGV[0].freeze
      $LOAD_PATH.unshift(ARGV[2])
      begin
        load ARGV[1]
      rescue LoadError => e
        print e.message
      end
    RUBY
    attempts = 0
    begin
      out, status = Open3.capture2e(RbConfig.ruby, "-e", script, version, File.join(lib, "parvox.rb"),
                                    elsewhere)
    rescue Errno::EINVAL
      # Wine now and then refuses to start a process; a second try starts it.
      attempts += 1
      retry if attempts < 2
      raise
    end
    assert status.success?, out
    out
  end

  def test_another_ruby_is_told_which_rubies_the_gem_holds_and_how_to_build_for_itself
    message = load_error_as("3.2.4")
    assert_includes message, "Ruby 3.4, 3.3 and 3.1 only"
    assert_includes message, "this Ruby 3.2.4"
    ["--platform ruby", "compiler", "libarchive", "libdeflate"].each { |needed| assert_includes message, needed }
  end

  def test_a_held_ruby_loads_its_own_library
    # An empty file is no library: the error names the one that was tried.
    assert_includes load_error_as("3.1.6"), "parvox/3.1/parvox.so"
  end

  def test_without_a_held_ruby_the_library_on_the_load_path_is_loaded
    make_tree(path("elsewhere"), "parvox.so" => "")
    assert_includes load_error_as("3.1.6", held: []), "elsewhere/parvox.so"
  end
end
